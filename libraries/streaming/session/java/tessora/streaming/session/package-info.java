/**
 * The live publishing session: one {@link tessora.streaming.session.Session} owns the connection to an RTMP server
 * for its whole life. Capture threads {@code offer} frames without ever blocking; a sender thread drains a bounded
 * queue, drops video by a policy when the link cannot keep up, reconnects by itself, and reports what happened as
 * {@link tessora.streaming.session.SessionStats} and {@link tessora.streaming.session.SessionEvent}s.
 */
package tessora.streaming.session;
