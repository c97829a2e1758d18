package tessora.streaming.rtmpdump;

/**
 * Native operations of libtavrel beyond those of {@link Tavrel}: the low-level layer under {@link Publisher} for
 * what the publisher offers on top of the classic surface (outgoing chunk size, connect reasons, ...).
 *
 * <p>The same rules as {@link Tavrel} hold: handles are context addresses, a handle of 0 or less is answered
 * without touching native memory, nothing throws, results are the native codes unchanged.
 */
public final class TavrelExt {
    static {
        System.loadLibrary("tavrel");
    }

    private TavrelExt() {}

    /**
     * Sends Set Chunk Size and uses size for every later message of the connection, and again after each
     * reconnection: 0 on success, a negative {@link RtmpError} code otherwise (size outside 1 to 0x7FFFFFFF, no
     * connection).
     */
    public static native int set_chunk_size(long handle, int size);

    /**
     * The detailed reason of the last connect made on the calling thread (connect, reconnect_clone,
     * reconnect_full, test_connect): 0, or a negative code of {@code tavrel_last_connect_result}.
     */
    public static native int last_connect_result();

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
