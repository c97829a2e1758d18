package tessora.streaming.media.reader;

/** Track times to milliseconds, rounded as FFmpeg rounds when it remuxes into FLV. */
final class Millis {
    private Millis() {}

    /**
     * {@code ticks / timescale} seconds in milliseconds, rounded to the nearest with halves away from zero.
     *
     * @throws ArithmeticException when the result does not fit a long
     */
    static long of(long ticks, long timescale) {
        long whole = ticks / timescale;
        long part = ticks % timescale * 1000; // |part| < 1000 * 2^32: no overflow
        long q = part / timescale;
        if (Math.abs(part % timescale) * 2 >= timescale) {
            q += Long.signum(part);
        }
        return Math.addExact(Math.multiplyExact(whole, 1000), q);
    }

    /** As {@link #of}, for totals a file states: 0 when negative or out of range. */
    static long orZero(long ticks, long timescale) {
        try {
            return timescale <= 0 ? 0 : Math.max(0, of(ticks, timescale));
        } catch (ArithmeticException e) {
            return 0;
        }
    }
}
