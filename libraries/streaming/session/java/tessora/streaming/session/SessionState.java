package tessora.streaming.session;

/** Where a {@link Session} stands. */
public enum SessionState {
    /** A connect is under way (the first one, or one after a lost connection). */
    CONNECTING,
    /** Published: the sender thread is sending. */
    CONNECTED,
    /** The connection was lost or a connect failed; the next attempt comes after a delay. */
    RECONNECTING,
    /** The session is over; {@link SessionStats#endReason()} tells why. */
    ENDED
}
