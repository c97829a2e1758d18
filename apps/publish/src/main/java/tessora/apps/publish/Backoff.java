package tessora.apps.publish;

/** Bounded exponential backoff: initial, doubled per attempt up to max, for at most attempts tries. */
final class Backoff {
    private final long initialMs;
    private final long maxMs;
    private final int attempts;
    private int tried;

    Backoff(long initialMs, long maxMs, int attempts) {
        this.initialMs = initialMs;
        this.maxMs = maxMs;
        this.attempts = attempts;
    }

    /** True while another attempt is allowed. */
    boolean canTry() {
        return tried < attempts;
    }

    /** The wait before the next attempt; counts the attempt. */
    long nextDelayMs() {
        long d = initialMs << Math.min(tried, 30);
        tried++;
        return Math.min(d, maxMs);
    }

    int tried() {
        return tried;
    }

    void reset() {
        tried = 0;
    }
}
