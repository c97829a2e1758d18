package tessora.streaming.media.reader;

import java.io.IOException;
import java.nio.ByteBuffer;

/** One trak of an MP4 file: its identity, clock, codec and the shift its edit list puts on every time. */
final class Mp4Track {
    final long id;
    final String handler;
    final long timescale;
    final long mediaDuration;
    final Box stbl;
    /** Ticks added to every decoding and presentation time: leading empty edits minus the first edit's start. */
    final long editShift;

    private Mp4Track(long id, String handler, long timescale, long mediaDuration, Box stbl, long editShift) {
        this.id = id;
        this.handler = handler;
        this.timescale = timescale;
        this.mediaDuration = mediaDuration;
        this.stbl = stbl;
        this.editShift = editShift;
    }

    boolean isVideo() {
        return handler.equals("vide");
    }

    boolean isAudio() {
        return handler.equals("soun");
    }

    static Mp4Track read(Box trak, long movieTimescale) throws IOException {
        long id = trak.need("tkhd").read(p -> Integer.toUnsignedLong(p.getInt(p.get(0) == 1 ? 20 : 12)));
        Box mdia = trak.need("mdia");
        Box mdhd = mdia.need("mdhd");
        long[] clock = mdhd.read(Mp4Track::clock);
        if (clock[0] == 0) {
            throw mdhd.error("timescale 0");
        }
        String handler = mdia.need("hdlr").read(p -> Box.fourcc(p.getInt(8)));
        Box stbl = mdia.need("minf").need("stbl");
        Box edts = trak.child("edts");
        Box elst = edts == null ? null : edts.child("elst");
        long shift = elst == null ? 0 : elst.read(p -> editShift(elst, p, movieTimescale, clock[0]));
        return new Mp4Track(id, handler, clock[0], clock[1], stbl, shift);
    }

    /** {timescale, duration} of an mvhd or mdhd. */
    static long[] clock(ByteBuffer p) {
        if (p.get(0) == 1) {
            return new long[] {Integer.toUnsignedLong(p.getInt(20)), p.getLong(24)};
        }
        return new long[] {Integer.toUnsignedLong(p.getInt(12)), Integer.toUnsignedLong(p.getInt(16))};
    }

    /**
     * Where the edit list puts the media: leading empty edits delay it, the first real edit's media time is the
     * media time shown first. Later edits (cuts, repeats) are not applied: every sample is kept, as the file's
     * samples are what gets published.
     */
    private static long editShift(Box elst, ByteBuffer p, long movieTimescale, long timescale)
            throws MediaFormatException {
        boolean wide = p.get(0) == 1;
        long count = Integer.toUnsignedLong(p.getInt(4));
        int width = wide ? 20 : 12;
        if (count > (p.limit() - 8) / width) {
            throw elst.error(count + " entries do not fit in the box");
        }
        long empty = 0;
        for (int i = 0; i < count; i++) {
            int at = 8 + i * width;
            long duration = wide ? p.getLong(at) : Integer.toUnsignedLong(p.getInt(at));
            long mediaTime = wide ? p.getLong(at + 8) : p.getInt(at + 4);
            if (mediaTime != -1) {
                try {
                    long emptyTicks = movieTimescale == 0 ? 0
                            : Math.multiplyExact(empty, timescale) / movieTimescale;
                    return Math.subtractExact(emptyTicks, mediaTime);
                } catch (ArithmeticException e) {
                    throw elst.error("edit times overflow");
                }
            }
            empty += duration;
            if (empty < 0) {
                throw elst.error("empty edits overflow");
            }
        }
        return 0;
    }
}
