package tessora.bench;

import tessora.streaming.rtmpdump.Tavrel;

/**
 * One send from Java through the binding against the same send from C: the same prepared records, a fresh
 * connection per round, C and Java rounds alternating, CPU time of the sending thread on both sides.
 * Prints "R what=... ns_per_call=..." lines for bench/driver.py.
 *
 * <p>Arguments: url-base (rtmp://127.0.0.1:PORT/sink), clip.flv, rounds, laps.
 */
public final class TavrelJniBench {
    private TavrelJniBench() {}

    public static void main(String[] args) {
        String base = args[0];
        String flv = args[1];
        int rounds = Integer.parseInt(args[2]);
        int laps = Integer.parseInt(args[3]);
        int n = BenchJni.prepare(flv, laps);
        if (n <= 0) {
            System.out.println("no records: the clip or the publisher is missing");
            System.exit(1);
        }
        int[] kinds = BenchJni.kinds();
        long[] records = BenchJni.records();
        long[] ts = BenchJni.timestamps();
        long aMax = BenchJni.max_audio();
        long vMax = BenchJni.max_video();

        long[] cNs = new long[rounds];
        long[] jNs = new long[rounds];
        for (int round = 0; round < rounds; round++) {
            long h = connect(base + "/jni_c_" + round, aMax, vMax);
            cNs[round] = BenchJni.send_all_c(h);
            Tavrel.close(h);
            h = connect(base + "/jni_java_" + round, aMax, vMax);
            jNs[round] = sendAllJava(h, kinds, records, ts);
            Tavrel.close(h);
            if (cNs[round] < 0 || jNs[round] < 0) {
                System.out.println("a send failed in round " + round);
                System.exit(1);
            }
        }
        report("c_send", median(cNs), n);
        report("java_send", median(jNs), n);

        // The binding alone: sends the context refuses before touching the connection.
        long h = connect(base + "/jni_refused", aMax, vMax);
        long frame = 0;
        for (int i = 0; i < kinds.length; i++) {
            if (kinds[i] == 1) {
                frame = records[i];
                break;
            }
        }
        BenchJni.set_reconnecting(h, true);
        int count = 2_000_000;
        refusedJava(h, frame, count); // JIT warm-up
        BenchJni.refused_c(h, frame, count);
        long[] cr = new long[rounds];
        long[] jr = new long[rounds];
        for (int round = 0; round < rounds; round++) {
            cr[round] = BenchJni.refused_c(h, frame, count);
            jr[round] = refusedJava(h, frame, count);
        }
        BenchJni.set_reconnecting(h, false);
        Tavrel.close(h);
        report("c_refused", median(cr), count);
        report("java_refused", median(jr), count);
    }

    private static long connect(String url, long aMax, long vMax) {
        long h = Tavrel.connect(url, null, null, false, false, false, false, aMax, vMax, null);
        if (h == 0) {
            System.out.println("connect failed: " + url);
            System.exit(1);
        }
        return h;
    }

    private static long sendAllJava(long h, int[] kinds, long[] records, long[] ts) {
        long t0 = BenchJni.thread_cpu_ns();
        for (int i = 0; i < kinds.length; i++) {
            int rc;
            switch (kinds[i]) {
                case 0:
                    rc = Tavrel.send_aac_header(h, records[i]);
                    break;
                case 1:
                    rc = Tavrel.send_aac_data(h, records[i], ts[i]);
                    break;
                case 2:
                    rc = Tavrel.send_video_header(h, records[i]);
                    break;
                default:
                    rc = Tavrel.send_h264_nals(h, records[i]);
                    break;
            }
            if (rc != 0) {
                return -1;
            }
        }
        return BenchJni.thread_cpu_ns() - t0;
    }

    private static long refusedJava(long h, long frame, int count) {
        long t0 = BenchJni.thread_cpu_ns();
        for (int i = 0; i < count; i++) {
            if (Tavrel.send_aac_data(h, frame, 1000) != -11) {
                return -1;
            }
        }
        return BenchJni.thread_cpu_ns() - t0;
    }

    private static long median(long[] v) {
        long[] s = v.clone();
        java.util.Arrays.sort(s);
        return s[s.length / 2];
    }

    private static void report(String what, long ns, int calls) {
        System.out.printf("R what=%s calls=%d total_ns=%d ns_per_call=%.1f%n", what, calls, ns, (double) ns / calls);
    }
}
