package tessora.streaming.media.reader;

import java.io.IOException;
import java.nio.ByteBuffer;
import java.util.ArrayDeque;
import java.util.Map;

/**
 * One track's samples from the movie fragments of a fragmented MP4 (moof, traf, tfhd, tfdt, trun), read fragment
 * by fragment as the samples are taken: only the current movie fragment box is held in memory.
 */
final class Fragments {
    /** A track's sample defaults (trex, overridden per fragment by tfhd). */
    record Defaults(long duration, long size, int flags) {}

    private static final int TFHD_BASE_OFFSET = 0x1;
    private static final int TFHD_DESCRIPTION = 0x2;
    private static final int TFHD_DURATION = 0x8;
    private static final int TFHD_SIZE = 0x10;
    private static final int TFHD_FLAGS = 0x20;
    private static final int TFHD_BASE_IS_MOOF = 0x20000;
    private static final int TRUN_DATA_OFFSET = 0x1;
    private static final int TRUN_FIRST_FLAGS = 0x4;
    private static final int TRUN_DURATION = 0x100;
    private static final int TRUN_SIZE = 0x200;
    private static final int TRUN_FLAGS = 0x400;
    private static final int TRUN_COMPOSITION = 0x800;
    private static final int NON_SYNC = 0x10000;

    /** One trun of this track: its entries still to walk and where its data lies. */
    private record Run(Box trun, ByteBuffer p, int entriesAt, long count, int flags, int width, int firstFlags,
            Defaults defaults, long dataStart, long baseDecode) {}

    private final Source source;
    private final long trackId;
    private final Map<Long, Defaults> trex;
    private final ArrayDeque<Run> runs = new ArrayDeque<>();
    private long scanAt;
    private long decode;
    private Run run;
    private long inRun;
    private long position;
    private Long firstMinComposition;

    Fragments(Source source, long trackId, Map<Long, Defaults> trex, long startDecode) {
        this.source = source;
        this.trackId = trackId;
        this.trex = trex;
        this.decode = startDecode;
    }

    /** The smallest composition offset of the track's first fragment (0 when none is negative). */
    long firstMinComposition() throws IOException {
        while (firstMinComposition == null && loadNextFragment()) {
            // scanning on to the track's first fragment
        }
        return firstMinComposition == null ? 0 : firstMinComposition;
    }

    /** The next sample, or null after the last fragment. */
    Mp4Entry next() throws IOException {
        while (run == null || inRun == run.count) {
            if (!runs.isEmpty()) {
                run = runs.poll();
                inRun = 0;
                position = run.dataStart;
                if (run.baseDecode >= 0) {
                    decode = run.baseDecode;
                }
            } else if (!loadNextFragment()) {
                return null;
            }
        }
        Run r = run;
        int at = r.entriesAt + (int) inRun * r.width;
        long duration = r.defaults.duration;
        long size = r.defaults.size;
        int flags = inRun == 0 && (r.flags & TRUN_FIRST_FLAGS) != 0 ? r.firstFlags : r.defaults.flags;
        long composition = 0;
        if ((r.flags & TRUN_DURATION) != 0) {
            duration = Integer.toUnsignedLong(r.p.getInt(at));
            at += 4;
        }
        if ((r.flags & TRUN_SIZE) != 0) {
            size = Integer.toUnsignedLong(r.p.getInt(at));
            at += 4;
        }
        if ((r.flags & TRUN_FLAGS) != 0) {
            flags = r.p.getInt(at);
            at += 4;
        }
        if ((r.flags & TRUN_COMPOSITION) != 0) {
            composition = r.p.getInt(at); // signed in both versions, as writers use it
        }
        if (size == 0) {
            throw r.trun.error("sample " + (inRun + 1) + " has size 0");
        }
        boolean key = (flags & NON_SYNC) == 0 && (flags >>> 24 & 0x3) != 1;
        Mp4Entry e = new Mp4Entry(decode, composition, duration, key, position, size);
        try {
            decode = Math.addExact(decode, duration);
            position = Math.addExact(position, size);
        } catch (ArithmeticException x) {
            throw r.trun.error("times or offsets overflow");
        }
        inRun++;
        return e;
    }

    /** Scans on to the next moof that holds samples of this track; false at the end of the file. */
    private boolean loadNextFragment() throws IOException {
        Box box;
        while ((box = Box.readHeader(source, scanAt)) != null) {
            scanAt = box.end();
            if (box.type.equals("moof")) {
                readMoof(box.load());
                if (!runs.isEmpty()) {
                    return true;
                }
            }
        }
        return false;
    }

    private void readMoof(Box moof) throws IOException {
        long previousEnd = moof.offset; // where the data of a traf without a base offset begins
        long min = 0;
        boolean mine = false;
        for (Box traf : moof.children()) {
            if (!traf.type.equals("traf")) {
                continue;
            }
            Box tfhd = traf.need("tfhd");
            long[] h = tfhd.read(this::trackFragmentHeader);
            int tfhdFlags = (int) h[0];
            long base = (tfhdFlags & TFHD_BASE_OFFSET) != 0 ? h[2]
                    : (tfhdFlags & TFHD_BASE_IS_MOOF) != 0 ? moof.offset : previousEnd;
            Defaults d = new Defaults(h[3], h[4], (int) h[5]);
            boolean ours = h[1] == trackId;
            Box tfdt = traf.child("tfdt");
            long baseDecode = tfdt == null ? -1 : tfdt.read(p -> p.get(0) == 1 ? p.getLong(4)
                    : Integer.toUnsignedLong(p.getInt(4)));
            if (baseDecode < -1) {
                throw tfdt.error("decoding time out of range");
            }
            long end = base;
            boolean firstRun = true;
            for (Box trun : traf.children()) {
                if (!trun.type.equals("trun")) {
                    continue;
                }
                long continueAt = end;
                long runDecode = firstRun ? baseDecode : -1; // later truns go on from the one before
                Run r = trun.read(p -> trackRun(trun, p, d, base, continueAt, runDecode));
                end = r.dataStart + sizes(r);
                firstRun = false;
                if (ours) {
                    runs.add(r);
                    min = Math.min(min, minComposition(r));
                    mine = true;
                }
            }
            previousEnd = end;
        }
        if (mine && firstMinComposition == null) {
            firstMinComposition = min;
        }
    }

    /** {flags, track ID, base offset, default duration, default size, default flags}. */
    private long[] trackFragmentHeader(ByteBuffer p) {
        int flags = p.getInt(0) & 0xFFFFFF;
        long id = Integer.toUnsignedLong(p.getInt(4));
        Defaults d = trex.getOrDefault(id, new Defaults(0, 0, 0));
        int at = 8;
        long base = 0;
        if ((flags & TFHD_BASE_OFFSET) != 0) {
            base = p.getLong(at);
            at += 8;
        }
        if ((flags & TFHD_DESCRIPTION) != 0) {
            at += 4;
        }
        long duration = d.duration;
        long size = d.size;
        long sampleFlags = d.flags;
        if ((flags & TFHD_DURATION) != 0) {
            duration = Integer.toUnsignedLong(p.getInt(at));
            at += 4;
        }
        if ((flags & TFHD_SIZE) != 0) {
            size = Integer.toUnsignedLong(p.getInt(at));
            at += 4;
        }
        if ((flags & TFHD_FLAGS) != 0) {
            sampleFlags = p.getInt(at);
        }
        return new long[] {flags, id, base, duration, size, sampleFlags};
    }

    private Run trackRun(Box trun, ByteBuffer p, Defaults d, long base, long continueAt, long baseDecode)
            throws MediaFormatException {
        int flags = p.getInt(0) & 0xFFFFFF;
        long count = Integer.toUnsignedLong(p.getInt(4));
        int at = 8;
        long start = continueAt;
        if ((flags & TRUN_DATA_OFFSET) != 0) {
            start = base + p.getInt(at);
            at += 4;
        }
        int first = 0;
        if ((flags & TRUN_FIRST_FLAGS) != 0) {
            first = p.getInt(at);
            at += 4;
        }
        int width = 4 * Integer.bitCount(flags & (TRUN_DURATION | TRUN_SIZE | TRUN_FLAGS | TRUN_COMPOSITION));
        // Every sample has at least one byte in the file, however the entries are sized.
        if (count > source.size() || width > 0 && count > (p.limit() - at) / width) {
            throw trun.error(count + " samples do not fit in the box or the file");
        }
        return new Run(trun, p, at, count, flags, width, first, d, start, baseDecode);
    }

    private static long sizes(Run r) throws MediaFormatException {
        if ((r.flags & TRUN_SIZE) == 0) {
            if (r.defaults.size > 0 && r.count > Long.MAX_VALUE / r.defaults.size) {
                throw r.trun.error("sample sizes overflow");
            }
            return r.count * r.defaults.size;
        }
        long sum = 0;
        int field = Integer.bitCount(r.flags & TRUN_DURATION) * 4;
        for (long i = 0; i < r.count; i++) {
            sum += Integer.toUnsignedLong(r.p.getInt(r.entriesAt + (int) i * r.width + field));
        }
        return sum;
    }

    private static long minComposition(Run r) {
        if ((r.flags & TRUN_COMPOSITION) == 0) {
            return 0;
        }
        long min = 0;
        int field = r.width - 4;
        for (long i = 0; i < r.count; i++) {
            min = Math.min(min, r.p.getInt(r.entriesAt + (int) i * r.width + field));
        }
        return min;
    }
}
