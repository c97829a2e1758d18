package tessora.streaming.media.reader;

import static org.junit.jupiter.api.Assertions.fail;

import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.Map;
import java.util.Random;
import java.util.concurrent.ExecutionException;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.TimeoutException;

import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/**
 * The MP4 and FLV readers on FFmpeg's small files mutated at random, for READER_FUZZ_SECONDS (20 by default;
 * READER_FUZZ_SEED repeats a run): every input must read to its end or fail with a {@link MediaFormatException},
 * within seconds. An input that does otherwise is kept in the temporary folder and named in the failure.
 */
class ReaderFuzzTest {
    /** Values that size and count fields go wrong with. */
    private static final int[] EDGES = {0, 1, 2, 7, 8, 9, 16, 255, 0x7FFF, 0xFFFF, 0xFFFFFF, 0x7FFFFFFF, 0x80000000,
        0xFFFFFFFF, 0xFFFFFFFE};
    /** Box types whose headers and first fields the mutations aim at. */
    private static final String[] BOXES = {"moov", "trak", "mdia", "mdhd", "mvhd", "tkhd", "hdlr", "minf", "stbl",
        "stsd", "avc1", "avcC", "mp4a", "esds", "stts", "ctts", "stsc", "stsz", "stco", "stss", "edts", "elst",
        "mvex", "trex", "moof", "traf", "tfhd", "tfdt", "trun", "mdat"};

    @TempDir
    static Path dir;

    @Test
    void mutatedFilesReadToTheEndOrFailAsFormatErrors() throws Exception {
        long seconds = Long.parseLong(System.getenv().getOrDefault("READER_FUZZ_SECONDS", "20"));
        long seed = Long.parseLong(System.getenv().getOrDefault("READER_FUZZ_SEED", String.valueOf(System.nanoTime())));
        Random random = new Random(seed);
        List<Map.Entry<String, byte[]>> seeds = new ArrayList<>(SmallFiles.make(dir).entrySet());
        List<int[]> targets = new ArrayList<>();
        for (Map.Entry<String, byte[]> s : seeds) {
            targets.add(targets(s.getValue()));
        }
        ExecutorService worker = Executors.newSingleThreadExecutor(r -> {
            Thread t = new Thread(r, "fuzz");
            t.setDaemon(true); // a hung input must not keep the JVM alive
            return t;
        });
        long end = System.nanoTime() + TimeUnit.SECONDS.toNanos(seconds);
        long runs = 0;
        long failures = 0;
        try {
            while (System.nanoTime() < end) {
                int pick = random.nextInt(seeds.size());
                String name = seeds.get(pick).getKey();
                byte[] input = mutate(seeds.get(pick).getValue(), targets.get(pick), random);
                Future<?> f = worker.submit(() -> SmallFiles.frames(name, input, input.length, new ArrayList<>()));
                try {
                    f.get(10, TimeUnit.SECONDS);
                } catch (TimeoutException e) {
                    fail(keep(input, name, seed) + " did not finish in 10 s");
                } catch (ExecutionException e) {
                    if (!(e.getCause() instanceof MediaFormatException)) {
                        throw new AssertionError(keep(input, name, seed) + " failed with " + e.getCause(),
                                e.getCause());
                    }
                    failures++;
                }
                runs++;
            }
        } finally {
            worker.shutdownNow();
        }
        System.out.println("reader fuzz: " + runs + " inputs in " + seconds + " s, " + failures
                + " format errors, seed " + seed);
    }

    /** Offsets worth aiming at: the size field and the first fields of every known box type's occurrences. */
    private static int[] targets(byte[] b) {
        List<Integer> at = new ArrayList<>();
        String text = new String(b, StandardCharsets.ISO_8859_1);
        for (String type : BOXES) {
            for (int i = text.indexOf(type); i >= 4; i = text.indexOf(type, i + 1)) {
                for (int field = -4; field <= 24; field += 4) {
                    at.add(i + field);
                }
            }
        }
        return at.stream().filter(i -> i + 4 <= b.length).mapToInt(Integer::intValue).toArray();
    }

    private static byte[] mutate(byte[] seed, int[] targets, Random r) {
        byte[] b = seed.clone();
        for (int n = 1 + r.nextInt(3); n > 0; n--) {
            switch (r.nextInt(5)) {
                case 0 -> b[r.nextInt(b.length)] ^= (byte) (1 << r.nextInt(8));
                case 1 -> putInt(b, r.nextInt(b.length), EDGES[r.nextInt(EDGES.length)]);
                case 2 -> {
                    if (targets.length > 0) {
                        int v = r.nextBoolean() ? EDGES[r.nextInt(EDGES.length)] : r.nextInt(b.length + 64);
                        putInt(b, targets[r.nextInt(targets.length)], v);
                    }
                }
                case 3 -> b = java.util.Arrays.copyOf(b, 1 + r.nextInt(b.length));
                default -> {
                    int len = 1 + r.nextInt(Math.min(64, b.length));
                    System.arraycopy(b, r.nextInt(b.length - len + 1), b, r.nextInt(b.length - len + 1), len);
                }
            }
        }
        return b;
    }

    private static void putInt(byte[] b, int at, int v) {
        if (at + 4 > b.length) {
            return;
        }
        b[at] = (byte) (v >>> 24);
        b[at + 1] = (byte) (v >>> 16);
        b[at + 2] = (byte) (v >>> 8);
        b[at + 3] = (byte) v;
    }

    private static String keep(byte[] input, String name, long seed) {
        try {
            Path kept = Files.createTempFile("reader-fuzz-", "-" + name);
            Files.write(kept, input);
            return "input " + kept + " (mutated " + name + ", seed " + seed + ")";
        } catch (java.io.IOException e) {
            return "an input mutated from " + name + " (seed " + seed + ")";
        }
    }
}
