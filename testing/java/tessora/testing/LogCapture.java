package tessora.testing;

import java.util.List;
import java.util.concurrent.CopyOnWriteArrayList;
import java.util.logging.Handler;
import java.util.logging.Level;
import java.util.logging.LogRecord;
import java.util.logging.Logger;

/**
 * Keeps every record that reaches it, from any thread. It holds no reference to the loggers it serves, so a test
 * can keep the capture and still see a logger become collectable.
 */
public final class LogCapture extends Handler {
    public final List<LogRecord> records = new CopyOnWriteArrayList<>();

    /** A new anonymous logger at {@code level} whose records come here only. */
    public Logger logger(Level level) {
        Logger logger = Logger.getAnonymousLogger();
        logger.setUseParentHandlers(false);
        logger.setLevel(level);
        logger.addHandler(this);
        return logger;
    }

    /** {@link #logger(Level)} at {@link Level#ALL}. */
    public Logger logger() {
        return logger(Level.ALL);
    }

    public List<String> messages() {
        return records.stream().map(LogRecord::getMessage).toList();
    }

    /** Whether a record of exactly this level contains the text. */
    public boolean has(Level level, String text) {
        return records.stream().anyMatch(r -> r.getLevel().equals(level) && r.getMessage().contains(text));
    }

    @Override
    public void publish(LogRecord record) {
        records.add(record);
    }

    @Override
    public void flush() {}

    @Override
    public void close() {}
}
