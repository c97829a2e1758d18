package tessora.streaming.media;

import java.io.ByteArrayOutputStream;
import java.nio.ByteBuffer;
import java.util.ArrayList;
import java.util.List;

/**
 * One H.264 access unit with its times, in the length-prefixed form that FLV and MP4 carry (each NAL unit behind
 * a 4-byte big-endian length).
 *
 * @param data the access unit, from its position to its limit; a read-only view is kept, the bytes are not copied
 * @param dtsMs decoding time in milliseconds from the start of the stream, never negative
 * @param ptsMs presentation time in milliseconds from the start of the stream, never negative
 * @param keyFrame whether the unit is an IDR picture that decoding may start at
 */
public record AvcFrame(ByteBuffer data, long dtsMs, long ptsMs, boolean keyFrame) {
    // NAL unit header: forbidden bit, 2 bits nal_ref_idc, 5 bits nal_unit_type.
    private static final int NAL_TYPE_MASK = 0x1F;
    private static final int NAL_REF_IDC_MASK = 0x60;
    // Coded slices: non-IDR (1), data partitions A to C (2 to 4), IDR (5).
    private static final int NAL_SLICE = 1;
    private static final int NAL_SLICE_IDR = 5;

    /** Checks the arguments and the length prefixes, and keeps a read-only view of the bytes. */
    public AvcFrame {
        data = Frames.payload(data, "access unit");
        Frames.checkTime(dtsMs, "dts");
        Frames.checkTime(ptsMs, "pts");
        checkPrefixes(data);
    }

    /** A frame of a copy of length-prefixed bytes. */
    public static AvcFrame of(byte[] lengthPrefixed, long dtsMs, long ptsMs, boolean keyFrame) {
        return new AvcFrame(Frames.copy(lengthPrefixed, "access unit"), dtsMs, ptsMs, keyFrame);
    }

    /** A frame of an Annex B access unit (start codes), converted to length prefixes. */
    public static AvcFrame fromAnnexB(ByteBuffer annexB, long dtsMs, long ptsMs, boolean keyFrame) {
        ByteArrayOutputStream out = new ByteArrayOutputStream(annexB.remaining() + 16);
        for (ByteBuffer unit : annexBUnits(annexB)) {
            int n = unit.remaining();
            out.write(n >>> 24);
            out.write(n >>> 16);
            out.write(n >>> 8);
            out.write(n);
            out.write(unit.array(), unit.arrayOffset() + unit.position(), n);
        }
        return new AvcFrame(ByteBuffer.wrap(out.toByteArray()), dtsMs, ptsMs, keyFrame);
    }

    /**
     * The bytes, as a read-only view of its own: moving its position or limit leaves the record as it is.
     *
     * @return the bytes, from position 0 to the limit
     */
    @Override
    public ByteBuffer data() {
        return data.duplicate();
    }

    /**
     * Whether other frames may refer to this one: the nal_ref_idc of its slices is not 0. A frame whose slices all
     * have nal_ref_idc 0 (a non-reference B or P picture) can be left out of a stream without harming any other.
     * Read from the NAL unit headers on each call. A unit without any slice counts as referenced, so that nothing
     * a decoder may need is ever judged droppable.
     *
     * @return false only for a frame whose slices are all non-reference
     */
    public boolean referenced() {
        boolean hasSlice = false;
        for (int at = 0; at < data.limit(); at += 4 + data.getInt(at)) {
            int header = data.get(at + 4) & 0xFF;
            int type = header & NAL_TYPE_MASK;
            if (type >= NAL_SLICE && type <= NAL_SLICE_IDR) {
                if ((header & NAL_REF_IDC_MASK) != 0) {
                    return true;
                }
                hasSlice = true;
            }
        }
        return !hasSlice;
    }

    /** The frame's size in bytes, length prefixes included. */
    public int size() {
        return data.remaining();
    }

    /** Composition time offset: pts minus dts, in milliseconds. */
    public long compositionMs() {
        return ptsMs - dtsMs;
    }

    /** The NAL units of the frame, each from its header byte (views, no copies). */
    public List<ByteBuffer> units() {
        List<ByteBuffer> units = new ArrayList<>();
        ByteBuffer in = data.duplicate();
        while (in.hasRemaining()) {
            int n = in.getInt();
            ByteBuffer unit = in.slice();
            unit.limit(n);
            units.add(unit);
            in.position(in.position() + n);
        }
        return units;
    }

    private static void checkPrefixes(ByteBuffer data) {
        int at = data.position();
        while (at < data.limit()) {
            if (data.limit() - at < 5) {
                throw new IllegalArgumentException("access unit ends inside a length prefix at byte " + at);
            }
            int n = data.getInt(at);
            if (n <= 0 || n > data.limit() - at - 4) {
                throw new IllegalArgumentException("NAL unit length " + Integer.toUnsignedString(n)
                        + " at byte " + at + " runs past the access unit");
            }
            at += 4 + n;
        }
    }

    /** The NAL units of an Annex B stream, each from its header byte, as array-backed views (a copy if needed). */
    static List<ByteBuffer> annexBUnits(ByteBuffer annexB) {
        ByteBuffer in = annexB.hasArray() && !annexB.isReadOnly() ? annexB : copyOf(annexB);
        byte[] b = in.array();
        int base = in.arrayOffset();
        int end = base + in.limit();
        List<ByteBuffer> units = new ArrayList<>();
        int start = -1;
        int i = base + in.position();
        while (i + 2 < end) {
            if (b[i] == 0 && b[i + 1] == 0 && b[i + 2] == 1) {
                if (start >= 0) {
                    addUnit(units, b, start, trimZeros(b, start, i));
                }
                i += 3;
                start = i;
            } else {
                i++;
            }
        }
        if (start >= 0) {
            addUnit(units, b, start, end);
        }
        return units;
    }

    private static int trimZeros(byte[] b, int start, int end) {
        while (end > start && b[end - 1] == 0) {
            end--;
        }
        return end;
    }

    private static void addUnit(List<ByteBuffer> units, byte[] b, int start, int end) {
        if (end > start) {
            units.add(ByteBuffer.wrap(b, start, end - start).slice());
        }
    }

    private static ByteBuffer copyOf(ByteBuffer src) {
        ByteBuffer copy = ByteBuffer.allocate(src.remaining());
        copy.put(src.duplicate()).flip();
        return copy;
    }
}
