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
        Reading vr = video == null ? Reading.NONE : reading(source, video, v.lengthSize(), trex);
        Reading ar = audio == null ? Reading.NONE : reading(source, audio, 0, trex);
        List<TrackCursor> cursors = new ArrayList<>();
        for (Reading r : List.of(vr, ar)) {
            if (r.samples != null) {
                cursors.add(r.samples);
            }
        }
        long durationMs = Millis.orZero(movieClock[1], movieClock[0]);
        if (durationMs == 0 && mvex != null && mvex.child("mehd") != null) {
            Box mehd = mvex.child("mehd");
            long d = mehd.read(p -> p.get(0) == 1 ? p.getLong(4) : Integer.toUnsignedLong(p.getInt(4)));
            durationMs = Millis.orZero(d, movieClock[0]);
        }
        MediaInfo info = new MediaInfo(mvex == null ? MediaInfo.Format.MP4 : MediaInfo.Format.FRAGMENTED_MP4,
                v == null ? 0 : v.width(), v == null ? 0 : v.height(), vr.rate,
                vr.bitrate > 0 ? vr.bitrate : v == null ? 0 : v.avgBitrate(),
                ar.bitrate > 0 ? ar.bitrate : a == null ? 0 : a.avgBitrate(),
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

    /** A track ready to read, with its average frame rate and bit rate. */
    private record Reading(Mp4Samples samples, double rate, long bitrate) {
        static final Reading NONE = new Reading(null, 0, 0);
    }

    /**
     * The track's samples: its sample table, then its fragments. The rates come from the table's totals; for
     * fragments, whose totals are not known up front, the frame rate comes from the first sample's duration.
     */
    private static Reading reading(Source source, Mp4Track t, int lengthSize, Map<Long, Fragments.Defaults> trex)
            throws IOException {
        SampleTable table = new SampleTable(source, t.stbl);
        Fragments fragments = trex == null ? null : new Fragments(source, t.id, trex, table.duration());
        Mp4Samples samples = new Mp4Samples(source, t, lengthSize, table, fragments);
        long duration = table.duration();
        if (table.count() > 0 && duration > 0) {
            return new Reading(samples, (double) table.count() * t.timescale / duration,
                    Math.round(table.bytes() * 8.0 * t.timescale / duration));
        }
        long first = samples.nextDuration();
        return new Reading(samples, first > 0 ? (double) t.timescale / first : 0, 0);
    }
}
