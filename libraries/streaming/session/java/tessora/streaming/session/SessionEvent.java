package tessora.streaming.session;

import java.time.Duration;

/**
 * A change of a {@link Session}'s state, as its {@link SessionListener} receives it on the session's sender thread.
 */
public sealed interface SessionEvent {
    /**
     * The state the session is in once the event happened.
     *
     * @return the state
     */
    SessionState state();

    /**
     * A connect begins.
     *
     * @param attempt 1 for the first attempt after the start or after a lost connection, counting up while
     *     attempts fail
     */
    record Connecting(int attempt) implements SessionEvent {
        @Override
        public SessionState state() {
            return SessionState.CONNECTING;
        }
    }

    /**
     * Published: the metadata and both sequence headers went out, frames follow.
     *
     * @param connection 1 for the first connection, 2 after the first reconnection, ...
     */
    record Connected(int connection) implements SessionEvent {
        @Override
        public SessionState state() {
            return SessionState.CONNECTED;
        }
    }

    /**
     * The connection was lost, or a connect failed: the next attempt comes after delay.
     *
     * @param attempt the number the next attempt will carry
     * @param delay how long the session waits before it
     * @param cause what went wrong, for messages
     */
    record Reconnecting(int attempt, Duration delay, String cause) implements SessionEvent {
        @Override
        public SessionState state() {
            return SessionState.RECONNECTING;
        }
    }

    /**
     * The session is over; nothing follows.
     *
     * @param reason why
     * @param message what happened last, for messages
     */
    record Ended(EndReason reason, String message) implements SessionEvent {
        @Override
        public SessionState state() {
            return SessionState.ENDED;
        }
    }
}
