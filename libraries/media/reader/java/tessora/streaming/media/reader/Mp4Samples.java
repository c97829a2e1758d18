package tessora.streaming.media.reader;

import java.io.IOException;
import java.nio.ByteBuffer;

/**
 * One MP4 track's samples: first those of its sample table, then those of its movie fragments. Times get the
 * track's shifts: the edit list's, and for negative composition offsets the one that keeps every presentation time
 * at or after its decoding time (decoding times move earlier; presentation times stay as the file states them).
 */
final class Mp4Samples implements TrackCursor {
    private final Source source;
    private final Mp4Track track;
    private final MediaSample.Kind kind;
    private final int lengthSize;
    private final SampleTable table;
    private final Fragments fragments;
    private final long dtsShift;
    private Mp4Entry entry;
    private Next next;
    private long taken;

    Mp4Samples(Source source, Mp4Track track, int lengthSize, SampleTable table, Fragments fragments)
            throws IOException {
        this.source = source;
        this.track = track;
        this.kind = track.isVideo() ? MediaSample.Kind.VIDEO : MediaSample.Kind.AUDIO;
        this.lengthSize = lengthSize;
        this.table = table;
        this.fragments = fragments;
        long min = table.count() > 0 || fragments == null ? table.minComposition() : fragments.firstMinComposition();
        this.dtsShift = -min;
    }

    @Override
    public MediaSample.Kind kind() {
        return kind;
    }

    @Override
    public Source source() {
        return source;
    }

    @Override
    public long timescale() {
        return track.timescale;
    }

    /** The duration of the next sample (for a frame rate when the file gives no totals); 0 at the end. */
    long nextDuration() throws IOException {
        return peek() == null ? 0 : entry.duration();
    }

    @Override
    public Next peek() throws IOException {
        if (next == null) {
            entry = table.next();
            if (entry == null && fragments != null) {
                entry = fragments.next();
            }
            if (entry == null) {
                return null;
            }
            try {
                long dts = Math.addExact(Math.subtractExact(entry.decode(), dtsShift), track.editShift);
                long pts = Math.addExact(Math.addExact(entry.decode(), entry.composition()), track.editShift);
                next = new Next(dts, pts, entry.keyFrame(), entry.offset());
            } catch (ArithmeticException e) {
                throw source.error(where(), entry.offset(), "time out of range");
            }
        }
        return next;
    }

    @Override
    public ByteBuffer take() throws IOException {
        Mp4Entry e = entry;
        String where = where();
        next = null;
        entry = null;
        taken++;
        ByteBuffer data = source.read(e.offset(), e.size(), where);
        if (kind == MediaSample.Kind.AUDIO) {
            return data;
        }
        try {
            return Avcc.toFourByteLengths(data, lengthSize);
        } catch (IllegalArgumentException x) {
            throw source.error(where, e.offset(), x.getMessage());
        }
    }

    private String where() {
        return kind.name().toLowerCase() + " sample " + (taken + 1);
    }
}
