package tessora.streaming.media.reader;

import java.io.IOException;
import java.nio.ByteBuffer;

/**
 * Walks a track's sample table (stts, ctts, stsc, stsz, stco or co64, stss) one sample at a time, straight from
 * the loaded boxes: nothing is expanded per sample, so memory stays what the boxes take. Every entry count is
 * checked against its box when the table is made, and every loop is bounded by the sample count, which is itself
 * bounded by the file's size.
 */
final class SampleTable {
    private final Source source;
    private final Box stbl;
    private final Table stts;
    private final Table ctts;
    private final Table stsc;
    private final Table chunks;
    private final boolean co64;
    private final Table stss;
    private final Table sizes;
    private final long constantSize;
    private final long count;

    private final Runs deltas;
    private final Runs offsets;
    private long index;
    private long decode;
    private int stscAt;
    private long chunk = -1;
    private long leftInChunk;
    private long position;
    private int stssAt;

    /** Entries of one table: {@code n} entries of {@code width} bytes from {@code at} of the box's payload. */
    private record Table(Box box, ByteBuffer p, int at, long n, int width) {
        int intAt(long i, int field) {
            return p.getInt(at + (int) i * width + field * 4);
        }

        long uintAt(long i, int field) {
            return Integer.toUnsignedLong(intAt(i, field));
        }
    }

    /** Walks a table of (sample count, value) runs, as stts and ctts are, one sample at a time. */
    private final class Runs {
        private final Table table;
        private long entry = -1;
        private long left;

        Runs(Table table) {
            this.table = table;
        }

        /** The entry that holds the next sample. */
        long next() throws MediaFormatException {
            while (left == 0) {
                if (++entry >= table.n) {
                    throw table.box.error("covers " + index + " of " + count + " samples");
                }
                left = table.uintAt(entry, 0);
            }
            left--;
            return entry;
        }
    }

    SampleTable(Source source, Box stbl) throws IOException {
        this.source = source;
        this.stbl = stbl;
        stts = table(stbl.need("stts"), 8, 8);
        Box cttsBox = stbl.child("ctts");
        ctts = cttsBox == null ? null : table(cttsBox, 8, 8);
        stsc = table(stbl.need("stsc"), 8, 12);
        Box co = stbl.child("co64");
        co64 = co != null;
        chunks = co64 ? table(co, 8, 8) : table(stbl.need("stco"), 8, 4);
        Box stssBox = stbl.child("stss");
        stss = stssBox == null ? null : table(stssBox, 8, 4);
        deltas = new Runs(stts);
        offsets = ctts == null ? null : new Runs(ctts);
        Box stsz = stbl.child("stsz");
        if (stsz == null) {
            throw stbl.child("stz2") != null ? stbl.error("compact sample sizes (stz2) are not supported")
                    : stbl.error("no stsz box");
        }
        long[] head = stsz.read(p -> new long[] {Integer.toUnsignedLong(p.getInt(4)),
            Integer.toUnsignedLong(p.getInt(8))});
        constantSize = head[0];
        count = head[1];
        if (constantSize == 0) {
            sizes = table(stsz, 12, 4, count);
        } else {
            sizes = null;
            // Every sample lies in the file: a count the file cannot hold is corrupt, not a long loop.
            if (count > source.size() / constantSize) {
                throw stsz.error(count + " samples of " + constantSize + " bytes do not fit in the file");
            }
        }
    }

    private static Table table(Box box, int countAt, int width) throws IOException {
        long n = box.read(p -> Integer.toUnsignedLong(p.getInt(countAt - 4)));
        return table(box, countAt, width, n);
    }

    /** A table whose entries must all lie inside the box. */
    private static Table table(Box box, int at, int width, long n) throws MediaFormatException {
        ByteBuffer p = box.payload();
        if (p.limit() < at || n > (p.limit() - at) / width) {
            throw box.error(n + " entries of " + width + " bytes do not fit in its " + p.limit() + " bytes");
        }
        return new Table(box, p, at, n, width);
    }

    long count() {
        return count;
    }

    /** The smallest composition offset (negative ones come with version 1 of ctts). */
    long minComposition() {
        long min = 0;
        for (long i = 0; ctts != null && i < ctts.n; i++) {
            if (ctts.uintAt(i, 0) > 0) {
                min = Math.min(min, ctts.intAt(i, 1));
            }
        }
        return min;
    }

    /** The sum of the sample durations (the decoding time after the last sample); fails when it overflows. */
    long duration() throws MediaFormatException {
        long sum = 0;
        long left = count;
        for (long i = 0; i < stts.n && left > 0; i++) {
            long n = Math.min(left, stts.uintAt(i, 0));
            sum = add(sum, mul(n, stts.uintAt(i, 1), stts.box), stts.box);
            left -= n;
        }
        return sum;
    }

    /** The sum of the sample sizes. */
    long bytes() throws MediaFormatException {
        if (sizes == null) {
            return count * constantSize;
        }
        long sum = 0;
        for (long i = 0; i < count; i++) {
            sum += sizes.uintAt(i, 0);
        }
        return sum;
    }

    /** The next sample, or null after the last. */
    Mp4Entry next() throws MediaFormatException {
        if (index == count) {
            return null;
        }
        long delta = stts.uintAt(deltas.next(), 1);
        // Offsets are read signed in both versions of ctts: version 0 values past 2^31 are writers' negative ones.
        long composition = offsets == null ? 0 : ctts.intAt(offsets.next(), 1);
        nextChunkIfNeeded();
        long size = sizes == null ? constantSize : sizes.uintAt(index, 0);
        if (size == 0) {
            throw stbl.error("sample " + (index + 1) + " has size 0");
        }
        boolean key = isSync();
        Mp4Entry e = new Mp4Entry(decode, composition, delta, key, position, size);
        decode = add(decode, delta, stts.box);
        position = add(position, size, chunks.box);
        leftInChunk--;
        index++;
        return e;
    }

    private void nextChunkIfNeeded() throws MediaFormatException {
        while (leftInChunk == 0) {
            if (++chunk >= chunks.n) {
                throw chunks.box.error("sample " + (index + 1) + " lies past the last of " + chunks.n + " chunks");
            }
            while (stscAt + 1 < stsc.n && stsc.uintAt(stscAt + 1, 0) - 1 <= chunk) {
                stscAt++;
            }
            if (stsc.n == 0) {
                throw stsc.box.error("no entries");
            }
            leftInChunk = stsc.uintAt(stscAt, 1);
            position = co64 ? chunks.p.getLong(chunks.at + (int) chunk * 8) : chunks.uintAt(chunk, 0);
        }
    }

    private boolean isSync() {
        if (stss == null) {
            return true; // no table: every sample is a sync sample
        }
        while (stssAt < stss.n && stss.uintAt(stssAt, 0) < index + 1) {
            stssAt++;
        }
        return stssAt < stss.n && stss.uintAt(stssAt, 0) == index + 1;
    }

    private static long mul(long a, long b, Box box) throws MediaFormatException {
        try {
            return Math.multiplyExact(a, b);
        } catch (ArithmeticException e) {
            throw box.error("durations overflow");
        }
    }

    private static long add(long a, long b, Box box) throws MediaFormatException {
        try {
            return Math.addExact(a, b);
        } catch (ArithmeticException e) {
            throw box.error("times or offsets overflow");
        }
    }
}
