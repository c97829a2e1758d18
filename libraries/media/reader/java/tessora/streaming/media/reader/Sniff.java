package tessora.streaming.media.reader;

import java.io.IOException;
import java.nio.ByteBuffer;
import java.util.Set;

/** Tells a file's format from its first bytes, never from its name. */
final class Sniff {
    private Sniff() {}

    enum Kind { MP4, FLV, ANNEX_B, ADTS }

    /** Box types that open ISO base media files as writers make them. */
    private static final Set<String> FIRST_BOXES = Set.of("ftyp", "moov", "mdat", "free", "skip", "wide", "pdin",
            "styp", "sidx", "moof", "uuid", "junk");

    static Kind kind(Source source) throws IOException {
        ByteBuffer b = source.readUpTo(0, 12, "file header");
        int n = b.remaining();
        if (n >= 3 && b.get(0) == 'F' && b.get(1) == 'L' && b.get(2) == 'V') {
            return Kind.FLV;
        }
        if (n >= 8 && FIRST_BOXES.contains(Box.fourcc(b.getInt(4)))) {
            return Kind.MP4;
        }
        if (n >= 4 && b.get(0) == 0 && b.get(1) == 0 && (b.get(2) == 1 || b.get(2) == 0 && b.get(3) == 1)) {
            return Kind.ANNEX_B;
        }
        if (n >= 2 && (b.get(0) & 0xFF) == 0xFF && (b.get(1) & 0xF6) == 0xF0) {
            return Kind.ADTS;
        }
        throw source.error("file header", 0, other(b) + " is not a media file the readers take (MP4, FLV, raw"
                + " H.264, ADTS AAC)");
    }

    private static String other(ByteBuffer b) {
        int n = b.remaining();
        if (n >= 4 && b.getInt(0) == 0x1A45DFA3) {
            return "Matroska/WebM";
        }
        if (n >= 4 && b.getInt(0) == 0x4F676753) {
            return "Ogg";
        }
        if (n >= 12 && b.getInt(0) == 0x52494646) {
            return "RIFF (" + Box.fourcc(b.getInt(8)) + ")";
        }
        if (n >= 1 && b.get(0) == 0x47) {
            return "MPEG-TS";
        }
        if (n >= 3 && b.get(0) == 'I' && b.get(1) == 'D' && b.get(2) == '3') {
            return "ID3-tagged audio";
        }
        return n == 0 ? "an empty file" : "content of an unknown format";
    }
}
