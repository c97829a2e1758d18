package tessora.bench;

/** The native half of {@link TavrelJniBench}: prepared records and the C side of each comparison. */
final class BenchJni {
    static {
        System.loadLibrary("tavrel_bench_jni");
    }

    private BenchJni() {}

    /** Records for every send of {@code laps} laps of the clip; their number, or -1. */
    static native int prepare(String flvPath, int laps);

    /** Per send: 0 AAC header, 1 AAC frame, 2 AVC header, 3 AVC frame. */
    static native int[] kinds();

    /** Per send: the address of its AACHeader, AACData or NALUS record. */
    static native long[] records();

    /** Per send: the AAC frame's elapsed_ms (0 for the others). */
    static native long[] timestamps();

    static native long max_audio();

    static native long max_video();

    static native long thread_cpu_ns();

    static native long send_all_c(long handle);

    static native long refused_c(long handle, long dataAddr, int count);

    static native void set_reconnecting(long handle, boolean on);
}
