package tessora.apps.publish;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.HashMap;
import java.util.List;
import java.util.Map;

/**
 * An FLV file with AVC video and AAC audio, as FFmpeg writes it, read into {@link MediaUnit}s. Every length is
 * checked against what is left before it is used; a file cut short ends at its last whole tag.
 */
public final class FlvFile {
    private static final int TAG_AUDIO = 8;
    private static final int TAG_VIDEO = 9;
    private static final int TAG_SCRIPT = 18;
    private static final int CODEC_AVC = 7;
    private static final int SOUND_AAC = 10;

    private FlvFile() {}

    /** Reads a whole FLV file into units. */
    public static MediaSource read(Path path) throws IOException {
        return parse(Files.readAllBytes(path), path.getFileName().toString());
    }

    /** Parses a whole FLV file. */
    public static MediaSource parse(byte[] b, String name) throws IOException {
        if (b.length < 13 || b[0] != 'F' || b[1] != 'L' || b[2] != 'V') {
            throw new IOException(name + ": not an FLV file");
        }
        long headerLen = be32(b, 5);
        if (headerLen < 9 || headerLen > b.length - 4) {
            throw new IOException(name + ": bad FLV header length " + headerLen);
        }
        List<MediaUnit> units = new ArrayList<>();
        Map<String, Object> meta = new HashMap<>();
        int at = (int) headerLen + 4; // the first previous-tag-size
        while (b.length - at >= 11) {
            int type = b[at] & 0x1F; // the filter bit and reserved bits are not ours
            int size = be24(b, at + 1);
            long ts = be24(b, at + 4) | ((long) (b[at + 7] & 0xFF) << 24);
            int data = at + 11;
            if (size > b.length - data) {
                break; // cut short: keep what was whole
            }
            switch (type) {
                case TAG_VIDEO -> video(b, data, size, ts, units, name);
                case TAG_AUDIO -> audio(b, data, size, ts, units, name);
                case TAG_SCRIPT -> Amf0.readOnMetaData(b, data, size, meta);
                default -> { }
            }
            at = data + size + 4;
        }
        long v = units.stream().filter(u -> u.kind() == MediaUnit.Kind.VIDEO_FRAME).count();
        long a = units.stream().filter(u -> u.kind() == MediaUnit.Kind.AUDIO_FRAME).count();
        return new MediaSource(units, info(meta), name + " (FLV: " + v + " video frames, " + a + " audio frames)");
    }

    private static void video(byte[] b, int at, int size, long ts, List<MediaUnit> out, String name)
            throws IOException {
        if (size < 5) {
            return;
        }
        int frameType = (b[at] & 0xF0) >> 4;
        if ((b[at] & 0x0F) != CODEC_AVC) {
            throw new IOException(name + ": video codec " + (b[at] & 0x0F) + " is not AVC");
        }
        int packetType = b[at + 1] & 0xFF;
        int cts = (be24(b, at + 2) << 8) >> 8; // signed 24-bit
        int payload = at + 5;
        int payloadLen = size - 5;
        if (packetType == 0) {
            out.add(new MediaUnit(MediaUnit.Kind.VIDEO_CONFIG, ts, ts, true, avccParameterSets(b, payload, payloadLen,
                    name), MediaUnit.Form.PLAIN));
        } else if (packetType == 1 && payloadLen > 0) {
            out.add(new MediaUnit(MediaUnit.Kind.VIDEO_FRAME, ts, ts + cts, frameType == 1,
                    java.util.Arrays.copyOfRange(b, payload, payload + payloadLen), MediaUnit.Form.PLAIN));
        }
        // packet type 2, end of sequence, carries nothing to send
    }

    private static void audio(byte[] b, int at, int size, long ts, List<MediaUnit> out, String name)
            throws IOException {
        if (size < 2) {
            return;
        }
        if (((b[at] & 0xF0) >> 4) != SOUND_AAC) {
            throw new IOException(name + ": sound format " + ((b[at] & 0xF0) >> 4) + " is not AAC");
        }
        MediaUnit.Kind kind = (b[at + 1] == 0) ? MediaUnit.Kind.AUDIO_CONFIG : MediaUnit.Kind.AUDIO_FRAME;
        if (size > 2) {
            out.add(new MediaUnit(kind, ts, ts, false, java.util.Arrays.copyOfRange(b, at + 2, at + size),
                    MediaUnit.Form.PLAIN));
        }
    }

    /**
     * The SPS and PPS of an AVCDecoderConfigurationRecord, each behind a 4-byte length: the AVCC form of an access
     * unit, from which the publisher picks the parameter sets for its sequence header.
     */
    static byte[] avccParameterSets(byte[] b, int at, int len, String name) throws IOException {
        int end = at + len;
        if (len < 7) {
            throw new IOException(name + ": AVC configuration record too short");
        }
        if ((b[at + 4] & 0x03) != 3) {
            throw new IOException(name + ": NAL length size " + ((b[at + 4] & 0x03) + 1) + " (only 4 is supported)");
        }
        java.io.ByteArrayOutputStream units = new java.io.ByteArrayOutputStream();
        int p = at + 5;
        for (int set = 0; set < 2; set++) { // SPS, then PPS
            if (p >= end) {
                throw new IOException(name + ": AVC configuration record cut short");
            }
            int count = set == 0 ? (b[p] & 0x1F) : (b[p] & 0xFF);
            p++;
            for (int i = 0; i < count; i++) {
                if (end - p < 2) {
                    throw new IOException(name + ": AVC configuration record cut short");
                }
                int n = be16(b, p);
                p += 2;
                if (n == 0 || n > end - p) {
                    throw new IOException(name + ": bad parameter set length " + n);
                }
                units.write(n >>> 24);
                units.write(n >>> 16);
                units.write(n >>> 8);
                units.write(n);
                units.write(b, p, n);
                p += n;
            }
        }
        return units.toByteArray();
    }

    private static StreamInfo info(Map<String, Object> m) {
        int channels = m.get("stereo") instanceof Boolean s ? (s ? 2 : 1) : 0;
        return new StreamInfo(num(m, "width"), num(m, "height"), num(m, "videodatarate"), num(m, "framerate"),
                num(m, "audiodatarate"), num(m, "audiosamplerate"), num(m, "audiosamplesize"), channels);
    }

    private static int num(Map<String, Object> m, String key) {
        return m.get(key) instanceof Double d ? (int) Math.round(d) : 0;
    }

    static int be16(byte[] b, int at) {
        return ((b[at] & 0xFF) << 8) | (b[at + 1] & 0xFF);
    }

    static int be24(byte[] b, int at) {
        return ((b[at] & 0xFF) << 16) | ((b[at + 1] & 0xFF) << 8) | (b[at + 2] & 0xFF);
    }

    static long be32(byte[] b, int at) {
        return ((long) (b[at] & 0xFF) << 24) | ((b[at + 1] & 0xFF) << 16) | ((b[at + 2] & 0xFF) << 8) | (b[at + 3]
                & 0xFF);
    }
}
