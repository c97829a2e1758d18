package tessora.streaming.media.reader;

import java.io.IOException;
import java.util.ArrayList;
import java.util.List;

/** Opens a raw H.264 Annex B stream and/or an ADTS AAC stream, each in a file of its own, as one source. */
final class RawReader {
    private RawReader() {}

    /** Either source may be null, not both. */
    static Opened open(Source video, Source audio, int fps) throws IOException {
        List<TrackCursor> tracks = new ArrayList<>();
        AnnexBTrack v = null;
        AdtsTrack a = null;
        if (video != null) {
            v = new AnnexBTrack(video, fps);
            tracks.add(v);
        }
        if (audio != null) {
            a = new AdtsTrack(audio);
            tracks.add(a);
        }
        MediaInfo info = new MediaInfo(MediaInfo.Format.RAW, 0, 0, v == null ? 0 : fps, 0, 0,
                a == null ? 0 : a.rate(), a == null ? 0 : a.config().channels(), 0, v == null ? 0 : fps,
                a == null ? 0 : a.rate());
        return new Opened(info, v == null ? null : v.config(), a == null ? null : a.config(), new Interleave(tracks));
    }
}
