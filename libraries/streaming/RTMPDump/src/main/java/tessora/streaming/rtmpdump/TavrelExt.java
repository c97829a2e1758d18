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
}
