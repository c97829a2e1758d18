package tessora.streaming.rtmpdump;

/** The result of a send ({@code RTMPERR}), with the native code and what it means for the caller. */
public enum RtmpError implements NativeCode {
    /** The connection accepted the message (RTMPERR_OK, 0). */
    OK(0, "the connection accepted the message"),
    /** There is no connection to send on (RTMPERR_DISCONNECTED, -1). */
    DISCONNECTED(-1, "there is no connection to send on"),
    /** Timed out (reserved) (RTMPERR_TIMEDOUT, -2). */
    TIMEDOUT(-2, "timed out (reserved)"),
    /** The AAC buffer is missing or empty (RTMPERR_INVALID_BUFF, -3). */
    INVALID_BUFF(-3, "the AAC buffer is missing or empty"),
    /** The NAL unit record is missing or in Annex B form (RTMPERR_INVALID_NAL, -4). */
    INVALID_NAL(-4, "the NAL unit record is missing or in Annex B form"),
    /** No usable NAL unit (or no SPS/PPS for a sequence header) (RTMPERR_INVALID_NUM_NAL, -5). */
    INVALID_NUM_NAL(-5, "no usable NAL unit (or no SPS/PPS for a sequence header)"),
    /** The metadata does not fit its buffer (RTMPERR_BUFF_TOO_LARGE, -6). */
    BUFF_TOO_LARGE(-6, "the metadata does not fit its buffer"),
    /** Timestamps go backwards (reserved) (RTMPERR_NON_MONOTONIC, -7). */
    NON_MONOTONIC(-7, "timestamps go backwards (reserved)"),
    /** The audio timestamp is negative (RTMPERR_NEGATIVE_TIMESTAMP, -8). */
    NEGATIVE_TIMESTAMP(-8, "the audio timestamp is negative"),
    /** The message could not be written (reserved) (RTMPERR_FAILED_TO_WRITE, -9). */
    FAILED_TO_WRITE(-9, "the message could not be written (reserved)"),
    /** The message was not sent (RTMPERR_FAILED_TO_SEND, -10). */
    FAILED_TO_SEND(-10, "the message was not sent"),
    /** A reconnection is under way; the message was dropped (RTMPERR_RECONNECTING, -11). */
    RECONNECTING(-11, "a reconnection is under way; the message was dropped"),
    /** The connection is lost; reconnect, then send again (RTMPERR_NEEDS_TO_RECONNECT, -12). */
    NEEDS_TO_RECONNECT(-12, "the connection is lost; reconnect, then send again"),
    /** The send failed while the connection still reports itself up (RTMPERR_UNKNOWN, -13). */
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
