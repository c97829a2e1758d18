package tessora.utils.aac;

import tessora.natives.NativeLibraries;

/**
 * Access to the native AAC records ({@code AACHeader}, {@code AACData}) that Java holds as addresses.
 *
 * <p>A logger argument is a {@link java.util.logging.Logger} or null; the printouts arrive at level
 * {@link java.util.logging.Level#FINE}. A record must not be freed on one thread while another reads or prints it,
 * and its address must not be used again after it is freed.
 */
public final class Mirabe {
    static {
        NativeLibraries.load("mirabe");
    }

    private Mirabe() {}

    /** The frame length of the {@code AACData} at data_addr; -1 for a zero address. */
    public static native long get_len(long data_addr, Object logger);

    /**
     * Copies the frame into buffer, at most as many bytes as either holds, and returns the number copied; -1 (nothing
     * copied) for a zero address, a null buffer, a broken record, or when the array cannot be accessed.
     */
    public static native int get_data(long data_addr, byte[] buffer, Object logger);

    /** Prints the {@code AACHeader} at header_addr (zero allowed) through logger. */
    public static native void pprint_aac_header(long header_addr, Object logger);

    /** Prints the {@code AACData} at data_addr (zero allowed) through logger. */
    public static native void pprint_aac_data(long data_addr, Object logger);

    /** Releases the {@code AACHeader} record (not its bytes); zero is ignored. */
    public static native void free_aac_header(long header_addr);

    /** Releases the {@code AACData} record and its bytes; zero is ignored. */
    public static native void free_aac_data(long data_addr);
}
