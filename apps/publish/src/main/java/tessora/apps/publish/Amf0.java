package tessora.apps.publish;

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

    private Amf0() {}

    static void readOnMetaData(byte[] b, int at, int size, Map<String, Object> out) {
        int end = at + size;
        int p = at;
        if (end - p < 3 || b[p] != STRING) {
            return;
        }
        int n = FlvFile.be16(b, p + 1);
        p += 3;
        if (n > end - p || !"onMetaData".equals(new String(b, p, n, StandardCharsets.UTF_8))) {
            return;
        }
        p += n;
        if (end - p < 1) {
            return;
        }
        int type = b[p++] & 0xFF;
        if (type == ECMA_ARRAY) {
            if (end - p < 4) {
                return;
            }
            p += 4; // the count is a hint; the end marker ends it
        } else if (type != OBJECT) {
            return;
        }
        while (end - p >= 3) {
            int keyLen = FlvFile.be16(b, p);
            p += 2;
            if (keyLen == 0 && (b[p] & 0xFF) == OBJECT_END) {
                return;
            }
            if (keyLen > end - p - 1) {
                return;
            }
            String key = new String(b, p, keyLen, StandardCharsets.UTF_8);
            p += keyLen;
            int vt = b[p++] & 0xFF;
            switch (vt) {
                case NUMBER -> {
                    if (end - p < 8) {
                        return;
                    }
                    out.put(key, Double.longBitsToDouble((FlvFile.be32(b, p) << 32) | FlvFile.be32(b, p + 4)));
                    p += 8;
                }
                case BOOLEAN -> {
                    if (end - p < 1) {
                        return;
                    }
                    out.put(key, b[p++] != 0);
                }
                case STRING -> {
                    if (end - p < 2) {
                        return;
                    }
                    int sl = FlvFile.be16(b, p);
                    p += 2;
                    if (sl > end - p) {
                        return;
                    }
                    out.put(key, new String(b, p, sl, StandardCharsets.UTF_8));
                    p += sl;
                }
                default -> {
                    return;
                }
            }
        }
    }
}
