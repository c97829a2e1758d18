package tessora.streaming.rtmpdump;

/**
 * An enum constant that stands for one of the native side's result codes. The constants of each such enum are
 * declared in the order of their codes, 0, -1, -2, ..., so that the negated code is the constant's position.
 */
interface NativeCode {
    /** The native value. */
    int code();

    /** What the code means for the caller. */
    String meaning();

    /**
     * The constant for a native code among an enum's constants (its {@code values()}, kept in a static field so
     * that a lookup copies nothing); {@code kind} names the code for the message of the exception thrown for any
     * other value.
     */
    static <E extends Enum<E> & NativeCode> E of(E[] values, int code, String kind) {
        if (code <= 0 && code > -values.length && values[-code].code() == code) {
            return values[-code];
        }
        throw new IllegalArgumentException("not " + kind + " code: " + code);
    }

    /** The constant's name with a prefix, its code and its meaning, for messages. */
    static <E extends Enum<E> & NativeCode> String describe(String prefix, E constant) {
        return prefix + constant.name() + " (" + constant.code() + ": " + constant.meaning() + ")";
    }
}
