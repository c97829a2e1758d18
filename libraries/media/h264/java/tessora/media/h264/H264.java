package tessora.media.h264;

import java.nio.ByteBuffer;

import tessora.natives.NativeLibraries;

/**
 * The H.264 helper from Java: cuts encoder output into the native {@code NALUS} and {@code NALUPayload} records
 * that {@code Tavrel.send_video_header}, {@code send_h264_nals} and {@code send_h264_nalu_payload} take, held as
 * {@code long} addresses.
 *
 * <p>Input is one access unit, either in Annex B form (start codes, as a raw {@code .h264} file or an encoder in
 * byte-stream mode gives it) or in AVCC form (4-byte big-endian lengths, as MP4 samples and FLV video tags carry
 * it), given as a range of a {@code byte[]} or of a direct {@link ByteBuffer}. For a buffer the offset counts from
 * the start of its memory and the range must lie within its capacity; its position and limit are not read or
 * changed. The input is copied: it may be reused as soon as the call returns.
 *
 * <p>{@code is_stripped} chooses the record's form: true, each unit starts at its NAL header byte; false, each unit
 * keeps a 4-byte length prefix. Records never come out in Annex B form. A stripped payload must be a single unit.
 *
 * <p>Times are in ticks of {@code timebase_num / timebase_den} seconds (both read as unsigned 32-bit values;
 * {@code timebase_den} must not be 0), {@code fst_pts} / {@code fst_dts} being those of the stream's first access
 * unit; the publisher sends {@code dts - fst_dts} as the timestamp and {@code pts - dts} as the composition time.
 *
 * <p>A maker returns the record's address, or 0 on failure with the code (one of the {@code ERR_} constants) in
 * {@code error[0]} when {@code error} is a non-empty array ({@code error[0]} is set to {@link #OK} on success).
 * Every record is one native allocation, released exactly once with {@link #free_nalus} or {@link #free_payload}.
 * No method throws; bad ranges, null arrays and heap buffers give error codes.
 */
public final class H264 {
    static {
        NativeLibraries.load("tavrel_h264_jni");
    }

    private H264() {}

    /** Success. */
    public static final int OK = 0;
    /** A null array or buffer, a time base with denominator 0. */
    public static final int ERR_BAD_ARG = -1;
    /** The input holds no unit (length 0, or nothing but start codes). */
    public static final int ERR_EMPTY = -2;
    /** Annex B input that does not begin with (zero bytes and) 00 00 01. */
    public static final int ERR_NO_START_CODE = -3;
    /** Annex B input that is nothing but zero bytes. */
    public static final int ERR_TRUNCATED_START_CODE = -4;
    /** AVCC input whose length prefix is cut short, 0, or runs past the end. */
    public static final int ERR_BAD_LENGTH = -5;
    /** The record would exceed 2^31 - 1 bytes. */
    public static final int ERR_TOO_LARGE = -6;
    /** A stripped payload was asked for an access unit of several units. */
    public static final int ERR_NOT_ONE_UNIT = -7;
    /** Native memory, or the array's elements, could not be had. */
    public static final int ERR_NO_MEMORY = -8;
    /** offset / length outside the array or the buffer's capacity. */
    public static final int ERR_RANGE = -9;
    /** A heap (non-direct) buffer where a direct one is needed. */
    public static final int ERR_NOT_DIRECT = -10;
    /** An access unit without a slice, or an SPS, PPS or slice header that cannot be read. */
    public static final int ERR_BAD_HEADER = -11;

    /** NAL unit type (nal_unit_type of ITU-T H.264): a slice of a non-IDR picture. */
    public static final int NAL_SLICE = 1;
    /** NAL unit type: a slice of an IDR picture. */
    public static final int NAL_SLICE_IDR = 5;
    /** NAL unit type: supplemental enhancement information. */
    public static final int NAL_SEI = 6;
    /** NAL unit type: sequence parameter set. */
    public static final int NAL_SPS = 7;
    /** NAL unit type: picture parameter set. */
    public static final int NAL_PPS = 8;
    /** NAL unit type: access unit delimiter. */
    public static final int NAL_AUD = 9;

    /** A name for an error code, for messages. */
    public static String error_name(int code) {
        switch (code) {
            case OK: return "OK";
            case ERR_BAD_ARG: return "BAD_ARG";
            case ERR_EMPTY: return "EMPTY";
            case ERR_NO_START_CODE: return "NO_START_CODE";
            case ERR_TRUNCATED_START_CODE: return "TRUNCATED_START_CODE";
            case ERR_BAD_LENGTH: return "BAD_LENGTH";
            case ERR_TOO_LARGE: return "TOO_LARGE";
            case ERR_NOT_ONE_UNIT: return "NOT_ONE_UNIT";
            case ERR_NO_MEMORY: return "NO_MEMORY";
            case ERR_RANGE: return "RANGE";
            case ERR_NOT_DIRECT: return "NOT_DIRECT";
            case ERR_BAD_HEADER: return "BAD_HEADER";
            default: return "UNKNOWN(" + code + ")";
        }
    }

    // --- makers: one access unit into a NALUS (one entry per NAL unit) ---

    /** A {@code NALUS} of the Annex B access unit in {@code [offset, offset + length)}, or 0 with the code. */
    public static native long nalus_from_annexb(byte[] data, int offset, int length, boolean is_stripped,
            int timebase_num, int timebase_den, long pts, long dts, long fst_pts, long fst_dts, int[] error);

    /** A {@code NALUS} of the length-prefixed access unit in {@code [offset, offset + length)}, or 0. */
    public static native long nalus_from_avcc(byte[] data, int offset, int length, boolean is_stripped,
            int timebase_num, int timebase_den, long pts, long dts, long fst_pts, long fst_dts, int[] error);

    /** {@link #nalus_from_annexb} over a direct buffer's memory. */
    public static native long nalus_from_annexb_direct(ByteBuffer data, int offset, int length, boolean is_stripped,
            int timebase_num, int timebase_den, long pts, long dts, long fst_pts, long fst_dts, int[] error);

    /** {@link #nalus_from_avcc} over a direct buffer's memory. */
    public static native long nalus_from_avcc_direct(ByteBuffer data, int offset, int length, boolean is_stripped,
            int timebase_num, int timebase_den, long pts, long dts, long fst_pts, long fst_dts, int[] error);

    // --- makers: one access unit into a NALUPayload (one contiguous buffer) ---

    /** A {@code NALUPayload} of the Annex B access unit in {@code [offset, offset + length)}, or 0. */
    public static native long payload_from_annexb(byte[] data, int offset, int length, boolean is_stripped,
            int timebase_num, int timebase_den, long pts, long dts, long fst_pts, long fst_dts, int[] error);

    /** A {@code NALUPayload} of the length-prefixed access unit in {@code [offset, offset + length)}, or 0. */
    public static native long payload_from_avcc(byte[] data, int offset, int length, boolean is_stripped,
            int timebase_num, int timebase_den, long pts, long dts, long fst_pts, long fst_dts, int[] error);

    /** {@link #payload_from_annexb} over a direct buffer's memory. */
    public static native long payload_from_annexb_direct(ByteBuffer data, int offset, int length,
            boolean is_stripped, int timebase_num, int timebase_den, long pts, long dts, long fst_pts, long fst_dts,
            int[] error);

    /** {@link #payload_from_avcc} over a direct buffer's memory. */
    public static native long payload_from_avcc_direct(ByteBuffer data, int offset, int length, boolean is_stripped,
            int timebase_num, int timebase_den, long pts, long dts, long fst_pts, long fst_dts, int[] error);

    /** Releases a NALUS made here; 0 is ignored. The address is dead afterwards. */
    public static native void free_nalus(long nalus_addr);

    /** Releases a NALUPayload made here; 0 is ignored. The address is dead afterwards. */
    public static native void free_payload(long payload_addr);

    /**
     * Reading a whole Annex B stream (a raw {@code .h264} file): the length of the access unit that begins at
     * {@code offset}, up to where the next one's start code begins (or {@code length} for the last), or a negative
     * code. Hand {@code [offset, offset + n)} to a maker, then advance by n.
     */
    public static native int annexb_au_len(byte[] data, int offset, int length);

    /** {@link #annexb_au_len} over a direct buffer's memory. */
    public static native int annexb_au_len_direct(ByteBuffer data, int offset, int length);

    /**
     * Presentation order of a whole Annex B stream, which a raw {@code .h264} file does not carry: the number of
     * access units in {@code [offset, offset + length)} (cut as {@link #annexb_au_len} cuts them), with
     * {@code display_index[i]} set to the display position of the i-th (as many entries as fit; null to count
     * only), or a negative code. From each picture's order count, ranked between IDR pictures. With a frame
     * duration of d ticks: {@code dts = i * d}, {@code pts = (display_index[i] + delay) * d}, where
     * {@code delay = max(i - display_index[i])} keeps pts at or after dts.
     */
    public static native int annexb_display_order(byte[] data, int offset, int length, int[] display_index);

    // --- field reads of records made here; -1 (or false) for address 0 ---

    /** Number of NAL units in the NALUS. */
    public static native int nalus_num_nalu(long nalus_addr);

    /** Bytes of unit data in the NALUS, prefixes included when not stripped. */
    public static native int nalus_total_len(long nalus_addr);

    /** True when the access unit holds an IDR slice. */
    public static native boolean nalus_is_keyframe(long nalus_addr);

    /** nal_unit_type of unit index; -1 when index is outside the record. */
    public static native int nalus_type(long nalus_addr, int index);

    /** Stored length of unit index (prefix included when not stripped); -1 when index is outside the record. */
    public static native int nalus_len(long nalus_addr, int index);

    /** Bytes in the NALUPayload. */
    public static native int payload_len(long payload_addr);

    /** True when the payload's access unit holds an IDR slice. */
    public static native boolean payload_is_keyframe(long payload_addr);
}
