package tessora.streaming.rtmpdump;

/** Why a test connection ({@code test_connect}) failed, or that it succeeded. */
public enum ConnectCheck {
    OK(0, "connected and published"),
    NO_URL(-1, "no URL given"),
    BAD_URL(-2, "the URL was not accepted"),
    CONNECTION_FAILED(-3, "the connection or handshake failed"),
    NOT_PUBLISHED(-4, "the server did not start the publish");

    private final int code;
    private final String meaning;

    ConnectCheck(int code, String meaning) {
        this.code = code;
        this.meaning = meaning;
    }

    public int code() {
        return code;
    }

    public String meaning() {
        return meaning;
    }

    public static ConnectCheck of(int code) {
        for (ConnectCheck c : values()) {
            if (c.code == code) {
                return c;
            }
        }
        throw new IllegalArgumentException("not a test_connect code: " + code);
    }

    @Override
    public String toString() {
        return name() + " (" + code + ": " + meaning + ")";
    }
}
