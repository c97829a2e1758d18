package tessora.streaming.media.reader;

import java.io.IOException;
import java.nio.ByteBuffer;
import java.util.Map;

import tessora.streaming.media.AacConfig;
import tessora.streaming.media.AvcConfig;

/** The sample descriptions (stsd) of an MP4 track: H.264 in avc1/avc3 with avcC, AAC in mp4a with esds. */
final class Mp4Codecs {
    private Mp4Codecs() {}

    /** An H.264 track's description. */
    record Video(AvcConfig config, int lengthSize, int width, int height, long avgBitrate) {}

    /** An AAC track's description. */
    record Audio(AacConfig config, int sampleRate, int channels, long avgBitrate) {}

    private static final Map<String, String> OTHER_CODECS = Map.ofEntries(
            Map.entry("hvc1", "H.265/HEVC"), Map.entry("hev1", "H.265/HEVC"), Map.entry("av01", "AV1"),
            Map.entry("vp09", "VP9"), Map.entry("vp08", "VP8"), Map.entry("mp4v", "MPEG-4 Visual"),
            Map.entry("s263", "H.263"), Map.entry("dvh1", "Dolby Vision"), Map.entry("dvhe", "Dolby Vision"),
            Map.entry("encv", "encrypted video"), Map.entry("jpeg", "JPEG"), Map.entry("mjp2", "Motion JPEG 2000"),
            Map.entry("Opus", "Opus"), Map.entry("ac-3", "AC-3"), Map.entry("ec-3", "E-AC-3"),
            Map.entry("fLaC", "FLAC"), Map.entry("alac", "ALAC"), Map.entry(".mp3", "MP3"),
            Map.entry("samr", "AMR"), Map.entry("sowt", "PCM"), Map.entry("twos", "PCM"), Map.entry("lpcm", "PCM"),
            Map.entry("ipcm", "PCM"), Map.entry("enca", "encrypted audio"));

    /** MPEG-4 objectTypeIndication values of the esds that are not AAC. */
    private static final Map<Integer, String> OTHER_AUDIO_OBJECTS = Map.of(
            0x69, "MP3", 0x6B, "MP3", 0xA5, "AC-3", 0xA6, "E-AC-3", 0xA9, "DTS", 0xAD, "Opus", 0xDD, "Vorbis");

    private static final int VISUAL_ENTRY_FIELDS = 78;
    private static final int AUDIO_ENTRY_FIELDS = 28;
    private static final int OBJECT_MPEG4_AUDIO = 0x40;
    private static final int OBJECT_MPEG2_AAC_FIRST = 0x66;
    private static final int OBJECT_MPEG2_AAC_LAST = 0x68;

    static Video video(Box stsd) throws IOException {
        Box entry = onlyEntry(stsd);
        if (!entry.type.equals("avc1") && !entry.type.equals("avc3")) {
            throw unsupported(entry, "video");
        }
        int[] size = entry.read(p -> new int[] {p.getShort(24) & 0xFFFF, p.getShort(26) & 0xFFFF});
        Box avcC = null;
        long bitrate = 0;
        for (Box b : entry.children(VISUAL_ENTRY_FIELDS)) {
            if (b.type.equals("avcC")) {
                avcC = b;
            } else if (b.type.equals("btrt")) {
                bitrate = b.read(p -> Integer.toUnsignedLong(p.getInt(8)));
            }
        }
        if (avcC == null) {
            throw entry.error("no avcC box");
        }
        long avgBitrate = bitrate;
        return avcC.read(p -> {
            byte[] bytes = new byte[p.remaining()];
            p.get(bytes);
            AvcConfig config = AvcConfig.fromDecoderConfigurationRecord(bytes);
            return new Video(config, (bytes[4] & 0x03) + 1, size[0], size[1], avgBitrate);
        });
    }

    static Audio audio(Box stsd) throws IOException {
        Box entry = onlyEntry(stsd);
        if (!entry.type.equals("mp4a")) {
            throw unsupported(entry, "audio");
        }
        // QuickTime's sound description versions 1 and 2 add fields after the common ones.
        int[] fields = entry.read(p -> {
            int version = p.getShort(8) & 0xFFFF;
            int extra = version == 1 ? 16 : version == 2 ? 36 : 0;
            return new int[] {p.getShort(16) & 0xFFFF, p.getChar(24), extra};
        });
        Box esds = entry.children(AUDIO_ENTRY_FIELDS + fields[2]).stream().filter(b -> b.type.equals("esds"))
                .findFirst().orElseThrow(() -> entry.error("no esds box"));
        Audio audio = esds.read(p -> decoderConfig(esds, p.position(4)));
        int rate = audio.config.sampleRate() > 0 ? audio.config.sampleRate() : fields[1];
        int channels = audio.config.channels() > 0 ? audio.config.channels() : fields[0];
        return new Audio(audio.config, rate, channels, audio.avgBitrate);
    }

    private static Box onlyEntry(Box stsd) throws IOException {
        int count = stsd.read(p -> p.getInt(4));
        if (count != 1) {
            throw stsd.error(Integer.toUnsignedString(count) + " sample descriptions (one is supported)");
        }
        java.util.List<Box> entries = stsd.children(8);
        if (entries.isEmpty()) {
            throw stsd.error("no sample description");
        }
        return entries.get(0);
    }

    private static MediaFormatException unsupported(Box entry, String kind) {
        String name = OTHER_CODECS.get(entry.type);
        return entry.error(kind + " codec '" + entry.type + "'" + (name == null ? "" : " (" + name + ")")
                + " is not supported: only " + (kind.equals("video") ? "H.264 (avc1)" : "AAC (mp4a)"));
    }

    /** The ES_Descriptor of an esds: object type, average bit rate and the AudioSpecificConfig. */
    private static Audio decoderConfig(Box esds, ByteBuffer p) throws MediaFormatException {
        ByteBuffer es = descriptor(esds, p, 0x03);
        int flags = es.get(2) & 0xFF;
        es.position(3);
        if ((flags & 0x80) != 0) {
            es.position(es.position() + 2); // dependsOn_ES_ID
        }
        if ((flags & 0x40) != 0) {
            es.position(es.position() + 1 + (es.get(es.position()) & 0xFF)); // URL
        }
        if ((flags & 0x20) != 0) {
            es.position(es.position() + 2); // OCR_ES_Id
        }
        ByteBuffer dc = descriptor(esds, es, 0x04);
        int object = dc.get(0) & 0xFF;
        if (object != OBJECT_MPEG4_AUDIO && (object < OBJECT_MPEG2_AAC_FIRST || object > OBJECT_MPEG2_AAC_LAST)) {
            String name = OTHER_AUDIO_OBJECTS.get(object);
            throw esds.error("audio codec with object type 0x" + Integer.toHexString(object)
                    + (name == null ? "" : " (" + name + ")") + " is not supported: only AAC");
        }
        long avgBitrate = Integer.toUnsignedLong(dc.getInt(9));
        ByteBuffer dsi = descriptor(esds, dc.position(13), 0x05);
        byte[] asc = new byte[dsi.remaining()];
        dsi.get(asc);
        return new Audio(new AacConfig(asc), 0, 0, avgBitrate);
    }

    /** The body of the descriptor with the given tag at the buffer's position; the position moves past it. */
    private static ByteBuffer descriptor(Box esds, ByteBuffer p, int tag) throws MediaFormatException {
        int found = p.get() & 0xFF;
        if (found != tag) {
            throw esds.error("descriptor tag " + found + " where " + tag + " belongs");
        }
        int len = 0;
        for (int i = 0; i < 4; i++) { // up to four 7-bit groups
            int b = p.get() & 0xFF;
            len = len << 7 | b & 0x7F;
            if ((b & 0x80) == 0) {
                break;
            }
        }
        if (len > p.remaining()) {
            throw esds.error("descriptor " + tag + " of " + len + " bytes runs past the box");
        }
        ByteBuffer body = p.slice().limit(len);
        p.position(p.position() + len);
        return body.slice();
    }
}
