package tessora.streaming.media.reader;

import java.io.IOException;
import java.nio.BufferUnderflowException;
import java.nio.ByteBuffer;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.List;

/**
 * An ISO BMFF box: its type, where it stands in the file, its path for messages and, once read, its payload.
 * Headers are read from the file without reading the payload, so that a media data box is never held in memory;
 * a box's children are cut from the parent's payload, every size checked against the parent before use.
 */
final class Box {
    private static final int HEADER = 8;
    private static final int LARGE_HEADER = 16;

    final String type;
    final String path;
    /** File offset of the box's first byte. */
    final long offset;
    /** File offset of the payload's first byte. */
    final long payloadOffset;
    /** Bytes of payload. */
    final long payloadSize;
    private final Source source;
    private ByteBuffer payload;

    private Box(Source source, String type, String path, long offset, long payloadOffset, long payloadSize,
            ByteBuffer payload) {
        this.source = source;
        this.type = type;
        this.path = path;
        this.offset = offset;
        this.payloadOffset = payloadOffset;
        this.payloadSize = payloadSize;
        this.payload = payload;
    }

    /** The file offset just after the box. */
    long end() {
        return payloadOffset + payloadSize;
    }

    /** The header of the top-level box at {@code at}, or null when {@code at} is the end of the file. */
    static Box readHeader(Source source, long at) throws IOException {
        if (at >= source.size()) {
            return null;
        }
        ByteBuffer h = source.readUpTo(at, LARGE_HEADER, "box header");
        return header(source, h, "", at, source.size());
    }

    /** The boxes that make up this box's payload from {@code skip} bytes on (after a full box's fields, say). */
    List<Box> children(int skip) throws MediaFormatException {
        ByteBuffer p = payload();
        List<Box> out = new ArrayList<>();
        long at = skip;
        while (at < p.limit()) {
            ByteBuffer h = p.duplicate().position((int) at);
            Box child = header(source, h, path + "/", payloadOffset + at, payloadOffset + p.limit());
            int start = (int) (child.payloadOffset - payloadOffset);
            child.payload = p.duplicate().position(start).limit(start + (int) child.payloadSize).slice();
            out.add(child);
            at = child.end() - payloadOffset;
        }
        return out;
    }

    List<Box> children() throws MediaFormatException {
        return children(0);
    }

    /** The first child of a type, or null. */
    Box child(String childType) throws MediaFormatException {
        for (Box b : children()) {
            if (b.type.equals(childType)) {
                return b;
            }
        }
        return null;
    }

    /** The first child of a type; fails naming it when there is none. */
    Box need(String childType) throws MediaFormatException {
        Box b = child(childType);
        if (b == null) {
            throw error("no " + childType + " box");
        }
        return b;
    }

    /** Reads the payload into memory (bounded by the file and by {@link Source#MAX_READ}). */
    Box load() throws IOException {
        if (payload == null) {
            payload = source.read(payloadOffset, payloadSize, path);
        }
        return this;
    }

    /** The payload, from its first byte; the box must have been loaded or cut from a loaded parent. */
    ByteBuffer payload() {
        return payload.duplicate();
    }

    MediaFormatException error(String problem) {
        return source.error(path, offset, problem);
    }

    /** How a box's fields are read: any read past its end becomes a format error naming the box. */
    interface Fields<T> {
        T read(ByteBuffer payload) throws IOException;
    }

    <T> T read(Fields<T> fields) throws IOException {
        try {
            return fields.read(payload());
        } catch (BufferUnderflowException | IndexOutOfBoundsException e) {
            throw error("cut short");
        } catch (IllegalArgumentException e) {
            throw error(e.getMessage());
        }
    }

    static String fourcc(int v) {
        byte[] b = {(byte) (v >>> 24), (byte) (v >>> 16), (byte) (v >>> 8), (byte) v};
        for (int i = 0; i < 4; i++) {
            if (b[i] < 0x20 || b[i] > 0x7E) {
                b[i] = '?';
            }
        }
        return new String(b, StandardCharsets.ISO_8859_1);
    }

    private static Box header(Source source, ByteBuffer h, String parent, long at, long limit)
            throws MediaFormatException {
        if (h.remaining() < HEADER) {
            throw source.error(parent + "box header", at, "cut short (" + h.remaining() + " of 8 bytes)");
        }
        long size = Integer.toUnsignedLong(h.getInt());
        String type = fourcc(h.getInt());
        String path = parent + type;
        int headerLen = HEADER;
        if (size == 1) {
            if (h.remaining() < 8) {
                throw source.error(path, at, "64-bit size cut short");
            }
            size = h.getLong();
            headerLen = LARGE_HEADER;
        } else if (size == 0) {
            size = limit - at; // runs to the end of the file or the parent
        }
        if (size < headerLen || size > limit - at) {
            throw source.error(path, at, "size " + Long.toUnsignedString(size) + " does not fit: " + (limit - at)
                    + " bytes left" + (parent.isEmpty() ? " in the file" : " in " + parent.substring(0,
                    parent.length() - 1)));
        }
        return new Box(source, type, path, at, at + headerLen, size - headerLen, null);
    }
}
