package tessora.streaming.rtmpdump;

import tessora.natives.NativeLibraries;

/**
 * The publisher's native operations, one static method per operation of libtavrel.
 *
 * <p>A context handle is the address of a native publisher context; 0 means none. Every handle passed must be live
 * (made by {@link #connect}, {@link #reconnect_clone} or {@link #reconnect_full} and not yet closed or replaced);
 * a handle of 0 or less is answered without touching native memory. Record addresses ({@code AACHeader},
 * {@code AACData}, {@code NALUS}, {@code NALUPayload}) are made by the media helpers. No method throws: results are
 * the native codes, unchanged. Logger arguments are {@link java.util.logging.Logger} objects or null.
 *
 * <p>Threads: one audio and one video send may run at the same time; {@link #close} and {@link #reconnect_full}
 * must not overlap any other call on the same handle. {@link Publisher} is the safe layer over this class.
 */
public final class Tavrel {
    static {
        NativeLibraries.load("tavrel");
    }

    private Tavrel() {}

    /** Installs the process-wide logger for the RTMP library's own messages (null: none). */
    public static native void set_global_logger(Object logger);

    /**
     * Connects to uri and publishes; the context handle, or 0 when the connection failed. username and password may
     * be null. a_body_max_len and v_body_max_len are the largest AAC frame and H.264 access unit expected (their low
     * 32 bits count).
     */
    public static native long connect(String uri, String username, String password, boolean use_rtmp_write,
            boolean is_rtmp_queue, boolean is_log_audio, boolean is_log_video, long a_body_max_len,
            long v_body_max_len, Object logger);

    /** A second, independent context with the same settings, or 0; handle_addr stays valid. */
    public static native long reconnect_clone(long handle_addr);

    /** A new stream on the same connection: -4 when a reconnection runs, else 0 (the outcome is the state). */
    public static native int reconnect_stream(long handle_addr);

    /**
     * Replaces the context by a new connection. -4: another reconnection runs, handle_addr stays valid. -1: the old
     * context is gone and no new one could be made. Positive: the handle to use from now on (handle_addr itself when
     * the connection was intact; otherwise handle_addr is gone).
     */
    public static native long reconnect_full(long handle_addr);

    /** Connects and publishes without credentials, then closes: 0, or -1 to -4 (null uri -1). */
    public static native int test_connect(String uri);

    /** The stored RTMP_CONN state; -1 for handle 0. */
    public static native int get_connection_state(long handle_addr);

    /** True when connected and not timed out. */
    public static native boolean can_send(long handle_addr);

    /** Sends onMetaData: 1 sent, 0 send failed, -13 or -6 when it could not be built, -1 for handle 0. */
    public static native int send_metadata(long handle_addr, int w, int h, int v_bitrate, int v_framerate,
            int a_bitrate, int a_sample_rate, int a_sample_size_b, int a_num_ch);

    /** Sends the AudioSpecificConfig of the {@code AACHeader}; an RTMPERR code. */
    public static native int send_aac_header(long handle_addr, long aac_header_addr);

    /** Sends the AAC frame of the {@code AACData} at elapsed_ms; an RTMPERR code. */
    public static native int send_aac_data(long handle_addr, long data_addr, long elapsed_ms);

    /** Sends the AVC sequence header from the SPS and PPS of the {@code NALUS}; an RTMPERR code. */
    public static native int send_video_header(long handle_addr, long h264_header_addr);

    /** Sends the access unit of the {@code NALUS}; an RTMPERR code. */
    public static native int send_h264_nals(long handle_addr, long nals_addr);

    /** Sends the access unit of the {@code NALUPayload}; an RTMPERR code. */
    public static native int send_h264_nalu_payload(long handle_addr, long payload_addr);

    /** Ends the connection and releases the context; handles of 0 or less are ignored. */
    public static native void close(long handle_addr);

    /** The URL the context was connected with; null for handle 0. */
    public static native String get_uri(long handle_addr);

    /** Whether the context sends FLV tags through the FLV stream writer (FLV-write mode); false for handle 0. */
    public static native boolean get_use_rtmp_write(long handle_addr);

    /** The queue flag the context passes to librtmp's packet sender; false for handle 0. */
    public static native boolean get_is_rtmp_queue(long handle_addr);

    /** Whether the context traces every audio message; false for handle 0. */
    public static native boolean get_is_log_audio(long handle_addr);

    /** Whether the context traces every video message; false for handle 0. */
    public static native boolean get_is_log_video(long handle_addr);

    /** The audio packet's body capacity in bytes (unsigned 32-bit). */
    public static native long get_a_body_max_len(long handle_addr);

    /** The video packet's body capacity in bytes (unsigned 32-bit). */
    public static native long get_v_body_max_len(long handle_addr);
}
