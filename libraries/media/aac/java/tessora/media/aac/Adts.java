package tessora.media.aac;

import java.nio.ByteBuffer;

import tessora.natives.NativeLibraries;

/**
 * AAC record makers from Java: cuts an ADTS stream (a raw {@code .aac} file, an encoder's ADTS output) into frames
 * and makes the native {@code AACHeader} and {@code AACData} records that {@code Tavrel.send_aac_header} and
 * {@code send_aac_data} take, held as {@code long} addresses; also makes them from a bare AudioSpecificConfig and a
 * raw AAC frame, as encoders without ADTS give them.
 *
 * <p>Input is a range of a {@code byte[]} or of a direct {@link ByteBuffer}. For a buffer the offset counts from the
 * start of its memory and the range must lie within its capacity; its position and limit are not read or changed.
 * The ADTS methods look at the frame that begins at {@code offset}; the whole frame must lie within the range, and
 * bytes after it are ignored. Input is copied: it may be reused as soon as the call returns.
 *
 * <p>A maker returns the record's address, or 0 on failure with the code (one of the {@code ERR_} constants) in
 * {@code error[0]} when {@code error} is a non-empty array ({@code error[0]} is set to {@link #OK} on success).
 * Release every record exactly once, with {@link #free_header} / {@link #free_data} or equally with
 * {@code Mirabe.free_aac_header} / {@code Mirabe.free_aac_data}. No method throws.
 *
 * <p>Reading a file: {@code n = frame_len(bytes, pos, bytes.length - pos)}; when {@code n > 0} the frame is
 * {@code [pos, pos + n)}: make the header once from the first frame, an {@code AACData} from each frame, and
 * advance {@code pos} by n. Each frame holds {@code INFO_SAMPLES} samples per channel at {@code INFO_SAMPLE_RATE}
 * (from {@link #parse_header}), which gives its timestamp.
 */
public final class Adts {
    static {
        NativeLibraries.load("tavrel_aac");
    }

    private Adts() {}

    /** Success. */
    public static final int OK = 0;
    /** A null array or buffer. */
    public static final int ERR_BAD_ARG = -1;
    /** Fewer bytes than the header needs (7, or 9 and more with CRC). */
    public static final int ERR_TRUNCATED = -2;
    /** The first 12 bits are not the sync word 0xFFF. */
    public static final int ERR_NO_SYNC = -3;
    /** The layer bits are not 0. */
    public static final int ERR_BAD_LAYER = -4;
    /** A sampling frequency index of 13 to 15. */
    public static final int ERR_BAD_RATE = -5;
    /** frame_length shorter than the header. */
    public static final int ERR_BAD_FRAME_LEN = -6;
    /** frame_length runs past the end of the range. */
    public static final int ERR_FRAME_PAST_END = -7;
    /** Native memory, or the array's elements, could not be had. */
    public static final int ERR_NO_MEMORY = -8;
    /** offset / length outside the array or the buffer's capacity. */
    public static final int ERR_RANGE = -9;
    /** A heap (non-direct) buffer where a direct one is needed. */
    public static final int ERR_NOT_DIRECT = -10;
    /** A frame of several raw data blocks (an FLV audio tag holds one). */
    public static final int ERR_MULTIPLE_BLOCKS = -11;
    /** A frame or raw input without payload bytes. */
    public static final int ERR_EMPTY = -12;
    /** Channel configuration 0, or a bare config shorter than 2 or longer than {@link #MAX_CONFIG_LEN} bytes. */
    public static final int ERR_BAD_CONFIG = -13;

    /** The longest bare AudioSpecificConfig {@link #header_from_config} takes, in bytes. */
    public static final int MAX_CONFIG_LEN = 64;

    /** Index into the info array of {@link #parse_header}: the whole frame's length, header included. */
    public static final int INFO_FRAME_LEN = 0;
    /** The header's length: 7, or 9 with CRC. */
    public static final int INFO_HEADER_LEN = 1;
    /** The raw frame's length, which an {@code AACData} holds. */
    public static final int INFO_PAYLOAD_LEN = 2;
    /** The sampling rate in Hz. */
    public static final int INFO_SAMPLE_RATE = 3;
    /** Samples per channel (1024 per raw data block). */
    public static final int INFO_SAMPLES = 4;
    /** The MPEG-4 audio object type (2 = AAC LC). */
    public static final int INFO_OBJECT_TYPE = 5;
    /** The sampling frequency index. */
    public static final int INFO_FREQUENCY_INDEX = 6;
    /** The channel configuration (1 mono, 2 stereo). */
    public static final int INFO_CHANNELS = 7;
    /** 1 when the header is CRC-protected. */
    public static final int INFO_HAS_CRC = 8;
    /** The length of a full info array. */
    public static final int INFO_LEN = 9;

    /** A name for an error code, for messages. */
    public static String error_name(int code) {
        switch (code) {
            case OK: return "OK";
            case ERR_BAD_ARG: return "BAD_ARG";
            case ERR_TRUNCATED: return "TRUNCATED";
            case ERR_NO_SYNC: return "NO_SYNC";
            case ERR_BAD_LAYER: return "BAD_LAYER";
            case ERR_BAD_RATE: return "BAD_RATE";
            case ERR_BAD_FRAME_LEN: return "BAD_FRAME_LEN";
            case ERR_FRAME_PAST_END: return "FRAME_PAST_END";
            case ERR_NO_MEMORY: return "NO_MEMORY";
            case ERR_RANGE: return "RANGE";
            case ERR_NOT_DIRECT: return "NOT_DIRECT";
            case ERR_MULTIPLE_BLOCKS: return "MULTIPLE_BLOCKS";
            case ERR_EMPTY: return "EMPTY";
            case ERR_BAD_CONFIG: return "BAD_CONFIG";
            default: return "UNKNOWN(" + code + ")";
        }
    }

    /** The length of the ADTS frame at offset (> 0), its header checked, or a negative code. */
    public static native int frame_len(byte[] data, int offset, int length);

    /** {@link #frame_len} over a direct buffer's memory. */
    public static native int frame_len_direct(ByteBuffer data, int offset, int length);

    /**
     * Reads the header of the frame at offset into info (the {@code INFO_} indices; a shorter array gets what fits,
     * null is allowed) and returns {@link #OK}, or a negative code with info untouched.
     */
    public static native int parse_header(byte[] data, int offset, int length, int[] info);

    /** {@link #parse_header} over a direct buffer's memory. */
    public static native int parse_header_direct(ByteBuffer data, int offset, int length, int[] info);

    /** The stream's {@code AACHeader}: the 2-byte AudioSpecificConfig of the frame at offset. */
    public static native long make_header(byte[] data, int offset, int length, int[] error);

    /** {@link #make_header} over a direct buffer's memory. */
    public static native long make_header_direct(ByteBuffer data, int offset, int length, int[] error);

    /** The {@code AACData} of the frame at offset: its raw frame, without ADTS header and CRC. */
    public static native long make_data(byte[] data, int offset, int length, int[] error);

    /** {@link #make_data} over a direct buffer's memory. */
    public static native long make_data_direct(ByteBuffer data, int offset, int length, int[] error);

    /** An {@code AACHeader} holding a copy of a bare AudioSpecificConfig (2 to 64 bytes). */
    public static native long header_from_config(byte[] config, int offset, int length, int[] error);

    /** An {@code AACData} holding a copy of one raw AAC frame (no ADTS header). */
    public static native long data_from_raw(byte[] raw, int offset, int length, int[] error);

    /** {@link #data_from_raw} over a direct buffer's memory. */
    public static native long data_from_raw_direct(ByteBuffer raw, int offset, int length, int[] error);

    /** Releases an {@code AACHeader} (Mirabe's free_aac_header); 0 is ignored. */
    public static native void free_header(long header_addr);

    /** Releases an {@code AACData} and its bytes (Mirabe's free_aac_data); 0 is ignored. */
    public static native void free_data(long data_addr);

    /** Bytes held by the {@code AACHeader}; -1 for address 0. */
    public static native int header_len(long header_addr);

    /** Bytes held by the {@code AACData}; -1 for address 0. */
    public static native int data_len(long data_addr);
}
