package tessora.streaming.media.reader;

import java.nio.ByteBuffer;
import java.nio.charset.StandardCharsets;
import java.util.Map;

/**
 * The part of AMF0 an FLV's onMetaData uses: the name, then an ECMA array or object of numbers, booleans and
 * strings. Reading stops quietly at anything else or at the end of the tag: metadata is a hint, not a must.
 */
final class Amf0 {
    private static final int NUMBER = 0x00;
    private static final int BOOLEAN = 0x01;
    private static final int STRING = 0x02;
    private static final int OBJECT = 0x03;
    private static final int ECMA_ARRAY = 0x08;
    private static final int OBJECT_END = 0x09;
    private static final int ECMA_COUNT = 4;

    private Amf0() {}

    /** The values of an onMetaData script tag's body into {@code out}; anything else leaves it as it was. */
    static void readOnMetaData(ByteBuffer tag, Map<String, Object> out) {
        ByteBuffer b = tag.duplicate();
        if (b.remaining() < 1 || b.get() != STRING || !"onMetaData".equals(string(b))) {
            return;
        }
        if (b.remaining() < 1) {
            return;
        }
        int type = b.get() & 0xFF;
        if (type == ECMA_ARRAY) {
            if (b.remaining() < ECMA_COUNT) {
                return;
            }
            b.position(b.position() + ECMA_COUNT); // the count is a hint; the end marker ends it
        } else if (type != OBJECT) {
            return;
        }
        while (b.remaining() >= 3) {
            if (b.getShort(b.position()) == 0 && b.get(b.position() + 2) == OBJECT_END) {
                return;
            }
            String key = string(b);
            if (key == null || b.remaining() < 1) {
                return;
            }
            Object value = value(b, b.get() & 0xFF);
            if (value == null) {
                return;
            }
            out.put(key, value);
        }
    }

    private static Object value(ByteBuffer b, int type) {
        switch (type) {
            case NUMBER:
                return b.remaining() < 8 ? null : b.getDouble();
            case BOOLEAN:
                return b.remaining() < 1 ? null : b.get() != 0;
            case STRING:
                return string(b);
            default:
                return null;
        }
    }

    /** A 16-bit-length UTF-8 string, or null when it runs past the end. */
    private static String string(ByteBuffer b) {
        if (b.remaining() < 2) {
            return null;
        }
        int n = b.getShort() & 0xFFFF;
        if (n > b.remaining()) {
            return null;
        }
        String s = new String(b.array(), b.arrayOffset() + b.position(), n, StandardCharsets.UTF_8);
        b.position(b.position() + n);
        return s;
    }
}
