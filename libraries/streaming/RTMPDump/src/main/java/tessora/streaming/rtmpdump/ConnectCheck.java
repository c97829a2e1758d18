package tessora.streaming.rtmpdump;

/** Why a test connection ({@code test_connect}) failed, or that it succeeded. */
public enum ConnectCheck implements NativeCode {
    /** Connected and published (0). */
    OK(0, "connected and published"),
    /** No URL given (-1). */
    NO_URL(-1, "no URL given"),
    /** The URL was not accepted (-2). */
    BAD_URL(-2, "the URL was not accepted"),
    /** The connection or handshake failed (-3). */
    CONNECTION_FAILED(-3, "the connection or handshake failed"),
    /** The server did not start the publish (-4). */
    NOT_PUBLISHED(-4, "the server did not start the publish"),
    /** The server's TLS certificate was not verified: unknown issuer, expired or another host's (-5). */
    TLS_NOT_VERIFIED(-5, "the server's TLS certificate was not verified (unknown issuer, expired or another host's)");

    private static final ConnectCheck[] VALUES = values();

    private final int code;
    private final String meaning;

    ConnectCheck(int code, String meaning) {
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
    public static ConnectCheck of(int code) {
        return NativeCode.of(VALUES, code, "a test_connect");
    }

    @Override
    public String toString() {
        return NativeCode.describe("", this);
    }
}
