package tessora.streaming.rtmpdump;

import java.util.logging.Level;
import java.util.logging.Logger;

/**
 * The logger a connection's native side writes to: it passes every message on to the caller's logger, except the
 * send path's report of each message it sent ("----------------- RTMP sent: N"), which the native side gives at
 * WARNING in FLV-write mode and for the metadata, and which goes on at FINE: a successful send is no warning. The
 * native side asks {@link #isLoggable} before it formats a message and then calls {@link #log(Level, String)}.
 */
final class NativeLog extends Logger {
    private static final String SENT = "----------------- RTMP sent:";

    private final Logger target;

    NativeLog(Logger target) {
        super(target.getName(), null);
        this.target = target;
    }

    @Override
    public boolean isLoggable(Level level) {
        return target.isLoggable(level);
    }

    @Override
    public void log(Level level, String message) {
        if (level.intValue() > Level.FINE.intValue() && message != null && message.startsWith(SENT)) {
            target.log(Level.FINE, message);
        } else {
            target.log(level, message);
        }
    }
}
