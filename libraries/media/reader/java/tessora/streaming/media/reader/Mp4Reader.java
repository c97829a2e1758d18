package tessora.streaming.media.reader;

import java.io.IOException;
import java.util.ArrayList;
import java.util.HashMap;
import java.util.List;
import java.util.Map;

/**
 * Opens an ISO base media file (MP4): finds the movie box wherever it stands, takes the first H.264 video track
 * and the first AAC audio track (other tracks, such as timecode or subtitles, are ignored) and reads their samples
 * from the sample tables and, in a fragmented file, from the movie fragments.
 */
final class Mp4Reader {
    private Mp4Reader() {}

    static Opened open(Source source) throws IOException {
        Box moov = findMoov(source);
        Box mvhd = moov.need("mvhd");
        long[] movieClock = mvhd.read(Mp4Track::clock);
        Mp4Track video = null;
        Mp4Track audio = null;
        for (Box b : moov.children()) {
            if (b.type.equals("trak")) {
                Mp4Track t = Mp4Track.read(b, movieClock[0]);
                if (t.isVideo() && video == null) {
                    video = t;
                } else if (t.isAudio() && audio == null) {
                    audio = t;
                }
            }
        }
        if (video == null && audio == null) {
            throw moov.error("no video or audio track");
        }
        Box mvex = moov.child("mvex");
        Map<Long, Fragments.Defaults> trex = mvex == null ? null : defaults(mvex);

        Mp4Codecs.Video v = video == null ? null : Mp4Codecs.video(video.stbl.need("stsd"));
        Mp4Codecs.Audio a = audio == null ? null : Mp4Codecs.audio(audio.stbl.need("stsd"));
        List<TrackCursor> cursors = new ArrayList<>();
        SampleTable vTable = video == null ? null : new SampleTable(source, video.stbl);
        SampleTable aTable = audio == null ? null : new SampleTable(source, audio.stbl);
        Mp4Samples vs = video == null ? null : samples(source, video, v.lengthSize(), vTable, trex);
        Mp4Samples as = audio == null ? null : samples(source, audio, 0, aTable, trex);
        Stats vStats = vs == null ? Stats.NONE : stats(video, vTable, vs);
        Stats aStats = as == null ? Stats.NONE : stats(audio, aTable, as);
        if (vs != null) {
            cursors.add(vs);
        }
        if (as != null) {
            cursors.add(as);
        }
        long durationMs = Millis.orZero(movieClock[1], movieClock[0]);
        if (durationMs == 0 && mvex != null && mvex.child("mehd") != null) {
            Box mehd = mvex.child("mehd");
            long d = mehd.read(p -> p.get(0) == 1 ? p.getLong(4) : Integer.toUnsignedLong(p.getInt(4)));
            durationMs = Millis.orZero(d, movieClock[0]);
        }
        MediaInfo info = new MediaInfo(mvex == null ? MediaInfo.Format.MP4 : MediaInfo.Format.FRAGMENTED_MP4,
                v == null ? 0 : v.width(), v == null ? 0 : v.height(), vStats.rate,
                vStats.bitrate > 0 ? vStats.bitrate : v == null ? 0 : v.avgBitrate(),
                aStats.bitrate > 0 ? aStats.bitrate : a == null ? 0 : a.avgBitrate(),
                a == null ? 0 : a.sampleRate(), a == null ? 0 : a.channels(), durationMs,
                video == null ? 0 : video.timescale, audio == null ? 0 : audio.timescale);
        return new Opened(info, v == null ? null : v.config(), a == null ? null : a.config(),
                new Interleave(cursors));
    }

    /** The movie box, read whole; the boxes before it (a media data box, say) are skipped unread. */
    private static Box findMoov(Source source) throws IOException {
        long at = 0;
        Box box;
        while ((box = Box.readHeader(source, at)) != null) {
            if (box.type.equals("moov")) {
                return box.load();
            }
            at = box.end();
        }
        throw source.error("moov", source.size(), "no movie box in the file");
    }

    private static Map<Long, Fragments.Defaults> defaults(Box mvex) throws IOException {
        Map<Long, Fragments.Defaults> trex = new HashMap<>();
        for (Box b : mvex.children()) {
            if (b.type.equals("trex")) {
                b.read(p -> trex.put(Integer.toUnsignedLong(p.getInt(4)), new Fragments.Defaults(
                        Integer.toUnsignedLong(p.getInt(12)), Integer.toUnsignedLong(p.getInt(16)), p.getInt(20))));
            }
        }
        return trex;
    }

    private static Mp4Samples samples(Source source, Mp4Track t, int lengthSize, SampleTable table,
            Map<Long, Fragments.Defaults> trex) throws IOException {
        Fragments fragments = trex == null ? null : new Fragments(source, t.id, trex, table.endDecode());
        return new Mp4Samples(source, t, lengthSize, table, fragments);
    }

    /** A track's average frame rate and bit rate. */
    private record Stats(double rate, long bitrate) {
        static final Stats NONE = new Stats(0, 0);
    }

    /** From the sample table's totals; for fragments, whose totals are not known up front, from the first sample. */
    private static Stats stats(Mp4Track t, SampleTable table, Mp4Samples samples) throws IOException {
        long duration = table.duration();
        if (table.count() > 0 && duration > 0) {
            return new Stats((double) table.count() * t.timescale / duration,
                    Math.round(table.bytes() * 8.0 * t.timescale / duration));
        }
        long first = samples.nextDuration();
        return new Stats(first > 0 ? (double) t.timescale / first : 0, 0);
    }
}
