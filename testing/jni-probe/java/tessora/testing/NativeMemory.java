package tessora.testing;

/** Test-only native memory: malloc'ed buffers and AAC records, addressed by Java longs. */
public final class NativeMemory {
    /** What alloc fills new memory with, so that bytes nobody wrote are recognisable. */
    public static final byte FILL = (byte) 0xEE;

    static {
        System.loadLibrary("native_probe");
    }

    private NativeMemory() {}

    /** size bytes of malloc'ed memory, each FILL; 0 when none could be had. */
    public static native long alloc(long size);

    /** A malloc'ed copy of bytes. */
    public static native long copyOf(byte[] bytes);

    public static native void free(long addr);

    public static native void write(long addr, byte[] bytes);

    public static native byte[] read(long addr, int len);

    /** A malloc'ed AACData record {buf, len}; buf is taken as it is (free_aac_data frees it). */
    public static native long aacData(long buf, int len);

    /** A malloc'ed AACHeader record {buf, len}; free_aac_header frees the record only. */
    public static native long aacHeader(long buf, int len);
}
