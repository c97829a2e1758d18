package tessora.streaming.rtmpdump;

import java.io.IOException;

/**
 * A publisher could not be made: the connection or the publish failed. {@link #reason()} tells why, as the failed
 * connect itself found it (no second connection is made to find out).
 */
public class PublisherException extends IOException {
    private static final long serialVersionUID = 1L;

    /** Why a connect failed, from the native connect's own result ({@code tavrel_last_connect_result}). */
    public enum Reason {
        /** The URL is missing or was not accepted (scheme, host, application). */
        BAD_URL("the URL was not accepted", -1, -2),
        /** The server could not be reached: connection refused, host unreachable, timed out. */
        UNREACHABLE("the server could not be reached (refused, unreachable or timed out)", -3),
        /** The server's host name could not be resolved. */
        DNS("the host name could not be resolved", -6),
        /** The TLS or RTMP handshake failed. */
        HANDSHAKE("the TLS or RTMP handshake failed", -7),
        /** The server's TLS certificate could not be verified. */
        TLS_VERIFY("the server's certificate could not be verified", -5),
        /** The server refused the connect command (no such application, or refused for another reason). */
        APP_REFUSED("the server refused the connect (no such application?)", -8),
        /** The server refused the publish of this stream (bad name, denied, in use). */
        PUBLISH_REFUSED("the server refused to publish the stream", -9),
        /** Publisher authentication was refused, or the server kept asking for it. */
        AUTH_FAILED("the server refused the credentials", -10),
        /** The server ended the connection after the handshake for another reason. */
        NOT_PUBLISHED("the server did not start the publish", -4),
        /** No finer reason is known. */
        UNKNOWN("the connect failed");

        private final String meaning;
        private final int[] codes;

        Reason(String meaning, int... codes) {
            this.meaning = meaning;
            this.codes = codes;
        }

        /**
         * What the reason means, for messages.
         *
         * @return a short text
         */
        public String meaning() {
            return meaning;
        }

        /**
         * The reason for a result of {@code tavrel_last_connect_result} ({@link TavrelExt#last_connect_result}).
         *
         * @param code the native result
         * @return its reason; {@link #UNKNOWN} for 0 and for codes this version does not know
         */
        public static Reason ofConnectResult(int code) {
            for (Reason r : values()) {
                for (int c : r.codes) {
                    if (c == code) {
                        return r;
                    }
                }
            }
            return UNKNOWN;
        }
    }

    /** Why the connect failed. */
    private final Reason reason;

    /**
     * A failure for which no reason is known.
     *
     * @param message what failed
     */
    public PublisherException(String message) {
        this(message, Reason.UNKNOWN);
    }

    /**
     * A failure with its reason.
     *
     * @param message what failed
     * @param reason why; null counts as {@link Reason#UNKNOWN}
     */
    public PublisherException(String message, Reason reason) {
        super(message);
        this.reason = reason == null ? Reason.UNKNOWN : reason;
    }

    /**
     * Why the connect failed.
     *
     * @return the reason, never null
     */
    public Reason reason() {
        return reason;
    }
}
