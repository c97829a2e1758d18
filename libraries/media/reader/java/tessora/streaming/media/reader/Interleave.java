package tessora.streaming.media.reader;

import java.io.IOException;
import java.nio.ByteBuffer;
import java.util.List;

/**
 * Merges tracks that are read independently (MP4 tracks, raw video and audio files) into one sequence in decoding
 * order, and puts their times on the common millisecond clock of {@link MediaSample}.
 */
final class Interleave implements SampleSource {
    private final List<TrackCursor> tracks;
    private final long originMs;

    /** Reads each track's first sample to find the clock's origin. */
    Interleave(List<TrackCursor> tracks) throws IOException {
        this.tracks = List.copyOf(tracks);
        long origin = Long.MAX_VALUE;
        for (TrackCursor t : tracks) {
            TrackCursor.Next n = t.peek();
            if (n != null) {
                origin = Math.min(origin, ms(n.dts(), t, n));
            }
        }
        this.originMs = origin == Long.MAX_VALUE ? 0 : origin;
    }

    @Override
    public MediaSample next() throws IOException {
        TrackCursor best = null;
        TrackCursor.Next bestNext = null;
        long bestMs = 0;
        for (TrackCursor t : tracks) {
            TrackCursor.Next n = t.peek();
            if (n == null) {
                continue;
            }
            long dtsMs = ms(n.dts(), t, n);
            // Equal times: the one stored first, as a player reading the file would meet them.
            if (best == null || dtsMs < bestMs || dtsMs == bestMs && n.offset() < bestNext.offset()) {
                best = t;
                bestNext = n;
                bestMs = dtsMs;
            }
        }
        if (best == null) {
            return null;
        }
        long ptsMs = ms(bestNext.pts(), best, bestNext) - originMs;
        if (ptsMs < 0) {
            throw best.source().error(best.kind().name().toLowerCase() + " sample", bestNext.offset(),
                    "presented before the start of the file (" + ptsMs + " ms)");
        }
        ByteBuffer data = best.take();
        return new MediaSample(best.kind(), bestNext.dts(), bestNext.pts(), bestMs - originMs, ptsMs,
                bestNext.keyFrame(), data);
    }

    private long ms(long ticks, TrackCursor t, TrackCursor.Next n) throws MediaFormatException {
        try {
            return Millis.of(ticks, t.timescale());
        } catch (ArithmeticException e) {
            throw t.source().error(t.kind().name().toLowerCase() + " sample", n.offset(), "time " + ticks
                    + " out of range");
        }
    }
}
