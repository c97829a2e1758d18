package tessora.streaming.session;

import tessora.streaming.rtmpdump.PublisherException;

/** Why a {@link Session} ended. */
public enum EndReason {
    /** {@link Session#close()} ended it. */
    CLOSED,
    /** The server refused the credentials; retrying would not change that. */
    AUTH_FAILED,
    /** The server refused to publish the stream on the first connect (bad name, denied). */
    PUBLISH_REFUSED,
    /** The server's TLS certificate could not be verified. */
    TLS_VERIFY,
    /** The URL was not accepted. */
    BAD_URL,
    /** The retry deadline passed, or the attempts ran out, without a connection. */
    RETRY_LIMIT,
    /** The sender thread met an error of its own (logged). */
    INTERNAL_ERROR;

    /**
     * The end a failed connect leads to without a retry, or null when retrying may help.
     *
     * @param reason why the connect failed
     * @param reconnecting whether the session had been connected before
     * @return the end, or null to retry
     */
    static EndReason withoutRetry(PublisherException.Reason reason, boolean reconnecting) {
        return switch (reason) {
            case AUTH_FAILED -> AUTH_FAILED;
            case TLS_VERIFY -> TLS_VERIFY;
            case BAD_URL -> BAD_URL;
            // After a lost connection the server may still hold the old publish of the same name for a while and
            // refuse a new one until it notices: that heals.
            case PUBLISH_REFUSED -> reconnecting ? null : PUBLISH_REFUSED;
            default -> null;
        };
    }
}
