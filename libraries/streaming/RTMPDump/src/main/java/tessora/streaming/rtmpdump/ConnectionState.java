package tessora.streaming.rtmpdump;

/** The stored connection state of a publisher ({@code RTMP_CONN}). */
public enum ConnectionState implements NativeCode {
    /** The stream is published; sending is allowed (RTMP_CONN_CONNECTED, 0). */
    CONNECTED(0, "the stream is published; sending is allowed"),
    /** A reconnection failed, or there is no connection (RTMP_CONN_DISCONNECTED, -1). */
    DISCONNECTED(-1, "a reconnection failed, or there is no connection"),
    /** Timed out (never stored) (RTMP_CONN_TIMEDOUT, -2). */
    TIMEDOUT(-2, "timed out (never stored)"),
    /** Closed (never stored) (RTMP_CONN_CLOSED, -3). */
    CLOSED(-3, "closed (never stored)"),
    /** A reconnection is under way (RTMP_CONN_RECONNECTING, -4). */
    RECONNECTING(-4, "a reconnection is under way");

    private static final ConnectionState[] VALUES = values();

    private final int code;
    private final String meaning;

    ConnectionState(int code, String meaning) {
        this.code = code;
        this.meaning = meaning;
    }

    @Override
    public int code() {
        return code;
    }

    @Override
    public String meaning() {
        return meaning;
    }

    /** The constant for a native code. */
    public static ConnectionState of(int code) {
        return NativeCode.of(VALUES, code, "an RTMP_CONN");
    }

    @Override
    public String toString() {
        return NativeCode.describe("RTMP_CONN_", this);
    }
}
