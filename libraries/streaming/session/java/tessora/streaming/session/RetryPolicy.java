package tessora.streaming.session;

import java.time.Duration;
import java.util.Random;

/**
 * How a {@link Session} retries a connect: the first retry after {@code firstDelay}, each following one
 * {@code factor} times later, every delay varied at random by up to a quarter either way and at most {@code maxDelay}
 * so that many publishers cut off together do not return together. Retrying stops once {@code deadline} has passed
 * since the connection was lost (or since the start), or after {@code maxAttempts} failed attempts.
 *
 * @param firstDelay the delay before the first retry
 * @param factor how much each delay grows, at least 1
 * @param maxDelay the longest delay
 * @param deadline how long to go on retrying; {@link Duration#ZERO} for no deadline
 * @param maxAttempts how many failed attempts to allow; 0 for no limit
 */
public record RetryPolicy(Duration firstDelay, double factor, Duration maxDelay, Duration deadline, int maxAttempts) {
    /** About 1 s, growing 1.5 times, at most 30 s, for at most 5 minutes. */
    public static final RetryPolicy DEFAULT =
            new RetryPolicy(Duration.ofSeconds(1), 1.5, Duration.ofSeconds(30), Duration.ofMinutes(5), 0);

    /** Checks the values. */
    public RetryPolicy {
        if (firstDelay.isNegative() || maxDelay.compareTo(firstDelay) < 0 || deadline.isNegative()) {
            throw new IllegalArgumentException("delays out of order: " + firstDelay + ", " + maxDelay + ", " + deadline);
        }
        if (!(factor >= 1) || maxAttempts < 0) {
            throw new IllegalArgumentException("factor below 1 or negative attempts: " + factor + ", " + maxAttempts);
        }
    }

    /**
     * The same policy with another deadline and attempt limit.
     *
     * @param deadline how long to go on retrying; zero for no deadline
     * @param maxAttempts how many failed attempts to allow; 0 for no limit
     * @return the policy
     */
    public RetryPolicy limitedTo(Duration deadline, int maxAttempts) {
        return new RetryPolicy(firstDelay, factor, maxDelay, deadline, maxAttempts);
    }

    /**
     * Whether to give up after a failed attempt.
     *
     * @param failedAttempts attempts failed since the connection was lost
     * @param elapsed time since the connection was lost
     * @return true to give up
     */
    boolean exhausted(int failedAttempts, Duration elapsed) {
        return (maxAttempts > 0 && failedAttempts >= maxAttempts)
                || (!deadline.isZero() && elapsed.compareTo(deadline) >= 0);
    }

    /**
     * The delay before the next attempt.
     *
     * @param failedAttempts attempts failed so far, at least 1
     * @param random the jitter's source
     * @return the delay, jitter included
     */
    Duration delay(int failedAttempts, Random random) {
        double ms = firstDelay.toMillis() * Math.pow(factor, Math.min(failedAttempts - 1, 64));
        return Duration.ofMillis(Math.min(Math.round(ms * (0.75 + 0.5 * random.nextDouble())), maxDelay.toMillis()));
    }
}
