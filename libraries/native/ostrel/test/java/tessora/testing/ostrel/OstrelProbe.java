package tessora.testing.ostrel;

/** Test-only access to the native logging facility. */
final class OstrelProbe {
    static {
        System.loadLibrary("ostrel_probe");
    }

    private OstrelProbe() {}

    static native long make(Object logger);

    static native void retain(long handle);

    static native void release(long handle);

    static native void log(long handle, int level, byte[] text);

    static native void logFromNativeThread(long handle, int level, byte[] text);
}
