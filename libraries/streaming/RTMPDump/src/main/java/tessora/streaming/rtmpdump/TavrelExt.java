package tessora.streaming.rtmpdump;

import java.nio.ByteBuffer;

import tessora.natives.NativeLibraries;

/**
 * Native operations of libtavrel beyond those of {@link Tavrel}: the low-level layer under {@link Publisher} for
 * what the publisher offers on top of the classic surface (outgoing chunk size, connect reasons, ...).
 *
 * <p>The same rules as {@link Tavrel} hold: handles are context addresses, a handle of 0 or less is answered
 * without touching native memory, nothing throws, results are the native codes unchanged.
 *
 * <p>The media sends take their bytes from a direct {@link ByteBuffer}: {@code offset} counts from the start of
 * its memory, the range must lie within its capacity, and its position and limit are neither read nor changed. A
 * null or heap buffer, or a range outside it, is refused with {@link RtmpError#INVALID_BUFF} (audio) or
 * {@link RtmpError#INVALID_NAL} (video) before anything is read; a handle of 0 or less gives
 * {@link RtmpError#DISCONNECTED}. The bytes are copied into the message during the call. Times are milliseconds
 * from the start of the stream.
 */
public final class TavrelExt {
    static {
        NativeLibraries.load("tavrel");
    }

    private TavrelExt() {}

    /**
     * Sends Set Chunk Size and uses size for every later message of the connection, and again after each
     * reconnection: 0 on success, a negative {@link RtmpError} code otherwise (size outside 1 to 0x7FFFFFFF, no
     * connection).
     */
    public static native int set_chunk_size(long handle, int size);

    /**
     * Bounds every later send of the connection, and of the connections its reconnections make: a message the
     * network does not take within ms milliseconds fails, the connection is closed and the send returns
     * {@link RtmpError#NEEDS_TO_RECONNECT}. 0 removes the bound. Waits for a send in progress. 0 on success, a
     * negative {@link RtmpError} code otherwise (negative ms, no context, the socket refused it).
     */
    public static native int set_send_timeout(long handle, int ms);

    /**
     * The unsent bytes the connection's socket may hold (TCP_NOTSENT_LOWAT), for this and later connections: a send
     * waits while more lies unsent, so a slow link shows at the sender instead of in megabytes of kernel buffer. 0
     * gives the kernel's default back. Results as {@link #set_send_timeout}.
     */
    public static native int set_unsent_limit(long handle, int bytes);

    /**
     * The detailed reason of the last connect made on the calling thread (connect, reconnect_clone,
     * reconnect_full, test_connect): 0, or a negative code of {@code tavrel_last_connect_result}.
     */
    public static native int last_connect_result();

    /**
     * Sends an AudioSpecificConfig as the AAC sequence header.
     *
     * @param handle the context
     * @param direct a direct buffer holding the configuration
     * @param offset where the configuration starts in the buffer's memory
     * @param length its length in bytes
     * @return an {@link RtmpError} code
     */
    public static native int send_aac_config(long handle, ByteBuffer direct, int offset, int length);

    /**
     * Sends one raw AAC frame.
     *
     * @param handle the context
     * @param direct a direct buffer holding the frame
     * @param offset where the frame starts in the buffer's memory
     * @param length its length in bytes
     * @param pts_ms its time; negative gives {@link RtmpError#NEGATIVE_TIMESTAMP}
     * @return an {@link RtmpError} code
     */
    public static native int send_aac_frame(long handle, ByteBuffer direct, int offset, int length, long pts_ms);

    /**
     * Sends the AVC sequence header made of one SPS and one PPS, each from its NAL header byte.
     *
     * @param handle the context
     * @param direct a direct buffer holding both parameter sets
     * @param sps_offset where the SPS starts in the buffer's memory
     * @param sps_length its length in bytes
     * @param pps_offset where the PPS starts
     * @param pps_length its length in bytes
     * @return an {@link RtmpError} code
     */
    public static native int send_avc_config(long handle, ByteBuffer direct, int sps_offset, int sps_length,
            int pps_offset, int pps_length);

    /**
     * Sends one H.264 access unit in length-prefixed form (each NAL unit behind its 4-byte big-endian length).
     *
     * @param handle the context
     * @param direct a direct buffer holding the access unit
     * @param offset where it starts in the buffer's memory
     * @param length its length in bytes, prefixes included
     * @param dts_ms its decoding time
     * @param pts_ms its presentation time; a negative time gives {@link RtmpError#NEGATIVE_TIMESTAMP}
     * @param key_frame whether it is an IDR picture
     * @return an {@link RtmpError} code
     */
    public static native int send_avc_frame(long handle, ByteBuffer direct, int offset, int length, long dts_ms,
            long pts_ms, boolean key_frame);

    /**
     * Reads what the server has sent without waiting (pings answered, acknowledgements counted); call it when no
     * media flows, as every send does it too: 0, or a negative {@link RtmpError} code ({@code NEEDS_TO_RECONNECT}
     * once the server has ended the publish or the connection).
     */
    public static native int poll(long handle);

    /**
     * Ends the publish gracefully and keeps the context for its figures: unpublish, stream deletion, our side
     * shut, the server read until it closes or the close timeout passes. 0 when the server closed in time,
     * {@code TIMEDOUT} (-2) when the time ran out, {@code NEEDS_TO_RECONNECT} when there was nothing to end.
     */
    public static native int finish(long handle);

    /** The bound of the graceful end (finish, close) in milliseconds, 3000 unless set: 0 or a negative code. */
    public static native int set_close_timeout(long handle, int timeoutMs);

    /** Bytes of chunk stream written to the connection, or -1 for a handle that names no context. */
    public static native long bytes_written(long handle);

    /** Bytes the server has acknowledged (unwrapped past 2^32), or -1 for a handle that names no context. */
    public static native long bytes_acked(long handle);
}
