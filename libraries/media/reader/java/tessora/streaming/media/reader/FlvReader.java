package tessora.streaming.media.reader;

import java.io.IOException;
import java.nio.ByteBuffer;
import java.util.HashMap;
import java.util.Map;

import tessora.streaming.media.AacConfig;
import tessora.streaming.media.AvcConfig;

/**
 * Reads an FLV file with AVC video and AAC audio tag by tag. Opening reads the first tags for the sequence headers,
 * the onMetaData values and the first times; the samples are then read again from the first tag on, one tag at a
 * time. Times are the tags' milliseconds (the file's own time base), the video's plus its composition offset.
 */
final class FlvReader implements SampleSource {
    private static final int HEADER = 9;
    private static final int TAG_HEADER = 11;
    private static final int BACK_POINTER = 4;
    private static final int TAG_AUDIO = 8;
    private static final int TAG_VIDEO = 9;
    private static final int TAG_SCRIPT = 18;
    private static final int FILTERED = 0x20;
    private static final int HAS_AUDIO = 0x04;
    private static final int HAS_VIDEO = 0x01;
    private static final int CODEC_AVC = 7;
    private static final int SOUND_AAC = 10;
    private static final int ENHANCED_VIDEO = 0x80;
    private static final int FRAME_KEY = 1;
    private static final int FRAME_COMMAND = 5;
    private static final int AVC_CONFIG = 0;
    private static final int AVC_NALUS = 1;
    private static final int AAC_CONFIG = 0;
    private static final int VIDEO_TAG_HEADER = 5;
    private static final int AUDIO_TAG_HEADER = 2;
    /** Tags read when opening, at most, looking for the sequence headers and the first frames. */
    private static final int SCAN_TAGS = 1000;
    private static final long TIMESCALE = 1000;

    private static final String[] VIDEO_CODECS = {null, null, "Sorenson H.263", "Screen video", "On2 VP6",
        "On2 VP6 with alpha", "Screen video 2", "AVC", null, null, null, null, "HEVC", "AV1"};
    private static final String[] SOUND_FORMATS = {"PCM", "ADPCM", "MP3", "PCM little-endian", "Nellymoser 16 kHz",
        "Nellymoser 8 kHz", "Nellymoser", "G.711 A-law", "G.711 mu-law", "enhanced audio", "AAC", "Speex", null,
        null, "MP3 8 kHz", "device-specific sound"};

    private final Source source;
    private final long firstTag;
    private long at;
    private long originMs;
    private AvcConfig avc;
    private int lengthSize = 4;
    private AacConfig aac;

    /** One tag: where it stands, its type, time and body. */
    private record Tag(long offset, int type, long time, ByteBuffer body) {
        String describe() {
            return (type == TAG_VIDEO ? "video" : type == TAG_AUDIO ? "audio" : "script") + " tag";
        }
    }

    private FlvReader(Source source, long firstTag) {
        this.source = source;
        this.firstTag = firstTag;
        this.at = firstTag;
    }

    static Opened open(Source source) throws IOException {
        ByteBuffer h = source.readUpTo(0, HEADER, "FLV header");
        if (h.remaining() < HEADER) {
            throw source.error("FLV header", 0, "cut short");
        }
        int flags = h.get(4) & 0xFF;
        long dataOffset = Integer.toUnsignedLong(h.getInt(5));
        if (dataOffset < HEADER || dataOffset > source.size()) {
            throw source.error("FLV header", 0, "data offset " + dataOffset + " out of range");
        }
        FlvReader r = new FlvReader(source, dataOffset + BACK_POINTER);
        Map<String, Object> meta = new HashMap<>();
        long firstVideo = -1;
        long firstAudio = -1;
        boolean wantVideo = (flags & HAS_VIDEO) != 0;
        boolean wantAudio = (flags & HAS_AUDIO) != 0;
        for (int n = 0; n < SCAN_TAGS && !scanned(wantVideo, firstVideo, wantAudio, firstAudio); n++) {
            Tag t = r.nextTag();
            if (t == null) {
                break;
            }
            if (t.type == TAG_SCRIPT && meta.isEmpty()) {
                Amf0.readOnMetaData(t.body, meta);
            } else if (t.type == TAG_VIDEO && r.video(t, true) != null && firstVideo < 0) {
                firstVideo = t.time;
            } else if (t.type == TAG_AUDIO && r.audio(t, true) != null && firstAudio < 0) {
                firstAudio = t.time;
            }
        }
        r.at = r.firstTag;
        r.originMs = firstVideo < 0 ? Math.max(firstAudio, 0) : firstAudio < 0 ? firstVideo
                : Math.min(firstVideo, firstAudio);
        boolean hasVideo = firstVideo >= 0 || r.avc != null;
        boolean hasAudio = firstAudio >= 0 || r.aac != null;
        MediaInfo info = new MediaInfo(MediaInfo.Format.FLV, num(meta, "width"), num(meta, "height"),
                number(meta, "framerate"), Math.round(number(meta, "videodatarate") * 1000),
                Math.round(number(meta, "audiodatarate") * 1000),
                r.aac != null && r.aac.sampleRate() > 0 ? r.aac.sampleRate() : num(meta, "audiosamplerate"),
                r.aac != null && r.aac.channels() > 0 ? r.aac.channels()
                        : meta.get("stereo") instanceof Boolean s ? (s ? 2 : 1) : 0,
                Math.round(number(meta, "duration") * 1000), hasVideo ? TIMESCALE : 0, hasAudio ? TIMESCALE : 0);
        return new Opened(info, r.avc, r.aac, r);
    }

    @Override
    public MediaSample next() throws IOException {
        Tag t;
        while ((t = nextTag()) != null) {
            MediaSample s = t.type == TAG_VIDEO ? video(t, false) : t.type == TAG_AUDIO ? audio(t, false) : null;
            if (s != null) {
                return s;
            }
        }
        return null;
    }

    /** The tag at the read position, or null at the end of the file; the position moves past it. */
    private Tag nextTag() throws IOException {
        long left = source.size() - at;
        if (left <= 0) {
            return null;
        }
        if (left < TAG_HEADER) {
            throw source.error("tag header", at, "cut short (" + left + " of " + TAG_HEADER + " bytes)");
        }
        ByteBuffer h = source.read(at, TAG_HEADER, "tag header");
        int type = h.get(0) & 0xFF;
        long size = h.getInt(0) & 0xFFFFFF;
        long time = (h.getInt(4) >>> 8) | (long) (h.get(7) & 0xFF) << 24;
        Tag probe = new Tag(at, type & 0x1F, time, null);
        if ((type & FILTERED) != 0) {
            throw source.error(probe.describe(), at, "encrypted (filtered) tags are not supported");
        }
        if (size > left - TAG_HEADER) {
            throw source.error(probe.describe(), at, "claims " + size + " bytes, " + (left - TAG_HEADER) + " left");
        }
        ByteBuffer body = source.read(at + TAG_HEADER, size, probe.describe());
        // The last back pointer carries nothing: a file that ends without it ends cleanly.
        at = Math.min(source.size(), at + TAG_HEADER + size + BACK_POINTER);
        return new Tag(probe.offset, probe.type, time, body);
    }

    /**
     * A video tag's frame, or null for a tag without one (sequence header, end of sequence, command frame). When
     * scanning, the first sequence header is kept; afterwards a different one is an error.
     */
    private MediaSample video(Tag t, boolean scanning) throws IOException {
        ByteBuffer b = t.body;
        if (b.remaining() < 1) {
            return null;
        }
        int first = b.get(0) & 0xFF;
        if ((first & ENHANCED_VIDEO) != 0) {
            String fourcc = b.remaining() < 5 ? "?" : Box.fourcc(b.getInt(1));
            throw source.error(t.describe(), t.offset, "video codec '" + fourcc
                    + "' (enhanced FLV) is not supported: only AVC");
        }
        int frameType = first >> 4;
        int codec = first & 0x0F;
        if (frameType == FRAME_COMMAND) {
            return null;
        }
        if (codec != CODEC_AVC) {
            throw source.error(t.describe(), t.offset, "video codec " + codec + name(VIDEO_CODECS, codec)
                    + " is not supported: only AVC");
        }
        if (b.remaining() < VIDEO_TAG_HEADER) {
            return null;
        }
        int packetType = b.get(1) & 0xFF;
        int cts = b.getInt(1) << 8 >> 8; // signed 24-bit
        ByteBuffer payload = b.duplicate().position(VIDEO_TAG_HEADER).slice();
        if (packetType == AVC_CONFIG) {
            videoConfig(t, payload, scanning);
            return null;
        }
        if (packetType != AVC_NALUS || !payload.hasRemaining()) {
            return null; // end of sequence carries nothing to publish
        }
        ByteBuffer data;
        try {
            data = Avcc.toFourByteLengths(payload, lengthSize);
        } catch (IllegalArgumentException e) {
            throw source.error(t.describe(), t.offset, e.getMessage());
        }
        return sample(t, MediaSample.Kind.VIDEO, t.time + cts, frameType == FRAME_KEY, data);
    }

    private void videoConfig(Tag t, ByteBuffer record, boolean scanning) throws MediaFormatException {
        byte[] bytes = new byte[record.remaining()];
        record.get(bytes);
        AvcConfig c;
        try {
            c = AvcConfig.fromDecoderConfigurationRecord(bytes);
        } catch (IllegalArgumentException e) {
            throw source.error(t.describe(), t.offset, e.getMessage());
        }
        if (scanning && avc == null) {
            avc = c;
            lengthSize = (bytes[4] & 0x03) + 1;
        } else if (!c.equals(avc)) {
            throw source.error(t.describe(), t.offset, "an AVC sequence header other than the first is not"
                    + " supported");
        }
    }

    private MediaSample audio(Tag t, boolean scanning) throws IOException {
        ByteBuffer b = t.body;
        if (b.remaining() < 1) {
            return null;
        }
        int format = (b.get(0) & 0xFF) >> 4;
        if (format != SOUND_AAC) {
            throw source.error(t.describe(), t.offset, "sound format " + format + name(SOUND_FORMATS, format)
                    + " is not supported: only AAC");
        }
        if (b.remaining() <= AUDIO_TAG_HEADER) {
            return null;
        }
        ByteBuffer payload = b.duplicate().position(AUDIO_TAG_HEADER).slice();
        if (b.get(1) != AAC_CONFIG) {
            return sample(t, MediaSample.Kind.AUDIO, t.time, true, payload);
        }
        byte[] asc = new byte[payload.remaining()];
        payload.get(asc);
        AacConfig c;
        try {
            c = new AacConfig(asc);
        } catch (IllegalArgumentException e) {
            throw source.error(t.describe(), t.offset, e.getMessage());
        }
        if (scanning && aac == null) {
            aac = c;
        } else if (!c.equals(aac)) {
            throw source.error(t.describe(), t.offset, "an AAC sequence header other than the first is not"
                    + " supported");
        }
        return null;
    }

    private MediaSample sample(Tag t, MediaSample.Kind kind, long pts, boolean key, ByteBuffer data)
            throws MediaFormatException {
        long dtsMs = t.time - originMs;
        long ptsMs = pts - originMs;
        if (dtsMs < 0 || ptsMs < 0) {
            throw source.error(t.describe(), t.offset, "time before the start of the file");
        }
        return new MediaSample(kind, t.time, pts, dtsMs, ptsMs, key, data);
    }

    /** Whether the first frame of each track the header announces has been met (never, when it announces none). */
    private static boolean scanned(boolean wantVideo, long firstVideo, boolean wantAudio, long firstAudio) {
        return (wantVideo || wantAudio) && (!wantVideo || firstVideo >= 0) && (!wantAudio || firstAudio >= 0);
    }

    private static String name(String[] names, int id) {
        return id < names.length && names[id] != null ? " (" + names[id] + ")" : "";
    }

    private static double number(Map<String, Object> m, String key) {
        return m.get(key) instanceof Double d && Double.isFinite(d) && d > 0 ? d : 0;
    }

    private static int num(Map<String, Object> m, String key) {
        return (int) Math.min(Integer.MAX_VALUE, Math.round(number(m, key)));
    }
}
