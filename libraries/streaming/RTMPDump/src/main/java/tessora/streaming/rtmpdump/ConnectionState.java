package tessora.streaming.rtmpdump;

/** The stored connection state of a publisher ({@code RTMP_CONN}). */
public enum ConnectionState {
    CONNECTED(0, "the stream is published; sending is allowed"),
    DISCONNECTED(-1, "a reconnection failed, or there is no connection"),
    TIMEDOUT(-2, "timed out (never stored)"),
    CLOSED(-3, "closed (never stored)"),
    RECONNECTING(-4, "a reconnection is under way");

    private final int code;
    private final String meaning;

    ConnectionState(int code, String meaning) {
        this.code = code;
        this.meaning = meaning;
    }

    public int code() {
        return code;
    }

    public String meaning() {
        return meaning;
    }

    /** The constant for a native code. */
    public static ConnectionState of(int code) {
        for (ConnectionState s : values()) {
            if (s.code == code) {
                return s;
            }
        }
        throw new IllegalArgumentException("not an RTMP_CONN code: " + code);
    }

    @Override
    public String toString() {
        return "RTMP_CONN_" + name() + " (" + code + ": " + meaning + ")";
    }
}
