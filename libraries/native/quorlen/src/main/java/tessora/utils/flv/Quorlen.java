package tessora.utils.flv;

import tessora.natives.NativeLibraries;

/**
 * FLV byte writers working on native memory.
 *
 * <p>Every {@code *_ptr} argument is the address of native memory with room for what the writer writes (file header
 * 13 bytes, tag header 11, previous tag size 4, audio tag header 2, video tag header 5, sequence header 11 + SPS +
 * PPS, NAL unit 4 + its length). Each writer returns the number of bytes it wrote, so the caller advances its own
 * offset by it. Addresses are not checked. Unsigned 32-bit results come back zero-extended in a {@code long}.
 * Stateless: any thread may call any method at any time.
 */
public final class Quorlen {
    static {
        NativeLibraries.load("quorlen");
    }

    private Quorlen() {}

    /** Milliseconds of pts - dts in a 1/timebase_den time base; a negative offset as its 32-bit two's complement. */
    public static native long composition_time_ms(long pts, long dts, long timebase_den);

    /** Milliseconds from dts_offset to dts in a 1/timebase_den time base: the FLV tag timestamp. */
    public static native long dts_to_elapsed_ms(long dts, long dts_offset, long timebase_den);

    /** Bytes a tag adds around its payload, the previous tag size included. */
    public static native int compute_flv_header_len(boolean is_audio, boolean write_tag_header,
            boolean is_seq_header, boolean is_stripped, boolean is_adts_or_annexb);

    /** The tag data size for a payload of payload_len bytes. */
    public static native long flv_tag_body_len(boolean is_audio, boolean is_seq_header, int payload_len);

    /** The 13-byte FLV file header, the first previous tag size included. */
    public static native int write_flv_file_header(long out_ptr, boolean has_audio, boolean has_video);

    /** The 11-byte FLV tag header. */
    public static native int write_flv_tag_header(long out_ptr, boolean is_audio, long body_len, long elapsed_ts_ms);

    /** The 4-byte previous tag size; pass 11 + the tag's data size. */
    public static native int write_flv_prev_tag_size(long out_ptr, long body_len);

    /** The 2-byte AAC audio tag header (always signalled as 44 kHz, 16-bit, stereo). */
    public static native int write_flv_audio_tag_header(long out_ptr, boolean is_seq_header, int sample_rate_i,
            boolean is_sample_size_16_bit, boolean is_stereo);

    /** The 5-byte AVC video tag header. */
    public static native int write_flv_video_tag_header(long out_ptr, boolean is_keyframe, boolean is_seq_header,
            long composition_time_ms);

    /** Writes nothing and returns 0: the AudioSpecificConfig comes from the AAC helpers. */
    public static native int write_audio_config(long out_ptr, boolean obj_type, boolean sample_freq);

    /** Copies adts_len bytes unchanged; a negative length writes nothing and returns 0. */
    public static native int write_adts(long out_ptr, long adts_ptr, long adts_len);

    /** The AVC sequence header (AVCDecoderConfigurationRecord) for one SPS and one PPS. */
    public static native int write_sps_pps(long out_ptr, long sps_ptr, long sps_len, long pps_ptr, long pps_len);

    /** One NAL unit behind its 4-byte big-endian length. */
    public static native int write_nalu(long out_ptr, long nal, long nal_len);
}
