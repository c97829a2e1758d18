package tessora.streaming.session;

/**
 * Receives a {@link Session}'s state changes. Called on the session's sender thread, one event at a time and in
 * order: it must return quickly, since no frame is sent meanwhile. An exception it throws is logged and ignored.
 */
@FunctionalInterface
public interface SessionListener {
    /**
     * One change of state.
     *
     * @param event what happened
     */
    void onEvent(SessionEvent event);
}
