package tessora.streaming.rtmpdump;

/** The result of a send ({@code RTMPERR}), with the native code and what it means for the caller. */
public enum RtmpError implements NativeCode {
    OK(0, "the connection accepted the message"),
    DISCONNECTED(-1, "there is no connection to send on"),
    TIMEDOUT(-2, "timed out (reserved)"),
    INVALID_BUFF(-3, "the AAC buffer is missing or empty"),
    INVALID_NAL(-4, "the NAL unit record is missing or in Annex B form"),
    INVALID_NUM_NAL(-5, "no usable NAL unit (or no SPS/PPS for a sequence header)"),
    BUFF_TOO_LARGE(-6, "the metadata does not fit its buffer"),
    NON_MONOTONIC(-7, "timestamps go backwards (reserved)"),
    NEGATIVE_TIMESTAMP(-8, "the audio timestamp is negative"),
    FAILED_TO_WRITE(-9, "the message could not be written (reserved)"),
    FAILED_TO_SEND(-10, "the message was not sent"),
    RECONNECTING(-11, "a reconnection is under way; the message was dropped"),
    NEEDS_TO_RECONNECT(-12, "the connection is lost; reconnect, then send again"),
    UNKNOWN(-13, "the send failed while the connection still reports itself up");

    private static final RtmpError[] VALUES = values();

    private final int code;
    private final String meaning;

    RtmpError(int code, String meaning) {
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

    /** True only for {@link #OK}. */
    public boolean isOk() {
        return this == OK;
    }

    /** The constant for a native code. */
    public static RtmpError of(int code) {
        return NativeCode.of(VALUES, code, "an RTMPERR");
    }

    /**
     * The outcome of {@code send_metadata}, whose success is librtmp's "sent" (1) and whose plain send failure is 0;
     * its negative codes are RTMPERR codes.
     */
    static RtmpError ofMetadataResult(int result) {
        if (result > 0) {
            return OK;
        }
        return result == 0 ? FAILED_TO_SEND : of(result);
    }

    @Override
    public String toString() {
        return NativeCode.describe("RTMPERR_", this);
    }
}
