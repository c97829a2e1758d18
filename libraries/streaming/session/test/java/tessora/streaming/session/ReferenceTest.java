package tessora.streaming.session;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.ByteArrayOutputStream;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.Map;

import org.junit.jupiter.api.Test;

import tessora.streaming.media.AvcFrame;
import tessora.streaming.media.reader.MediaReader;
import tessora.streaming.media.reader.MediaSample;
import tessora.testing.RtmpServer;

/** A frame's reference status, from NAL headers made by hand and from the clip through every reader. */
class ReferenceTest {
    /** A length-prefixed access unit of NAL units, each its header byte and two bytes of payload. */
    private static AvcFrame unitOf(int... headers) {
        ByteArrayOutputStream b = new ByteArrayOutputStream();
        for (int h : headers) {
            b.writeBytes(new byte[] {0, 0, 0, 3, (byte) h, (byte) 0x88, 0x40});
        }
        return AvcFrame.of(b.toByteArray(), 0, 0, false);
    }

    @Test
    void nalRefIdcOfTheSlicesDecides() {
        Map<String, Object[]> cases = Map.of(
                "non-reference P/B slice", new Object[] {unitOf(0x01), false},
                "referenced slice", new Object[] {unitOf(0x41), true},
                "IDR slice", new Object[] {unitOf(0x65), true},
                "AUD and SEI before a non-reference slice", new Object[] {unitOf(0x09, 0x06, 0x01), false},
                "SEI with nal_ref_idc, slice without", new Object[] {unitOf(0x66, 0x01), false},
                "two slices, the second referenced", new Object[] {unitOf(0x01, 0x21), true},
                "data partition A, referenced", new Object[] {unitOf(0x62), true},
                "no slice at all", new Object[] {unitOf(0x09, 0x06), true},
                "filler after a non-reference slice", new Object[] {unitOf(0x01, 0x0C), false});
        cases.forEach((name, c) -> assertEquals(c[1], ((AvcFrame) c[0]).referenced(), name));
    }

    /** The three readers give every frame the same reference status; the clip has both kinds. */
    @Test
    void everyReaderGivesTheSameStatus() throws Exception {
        Path dir = RtmpServer.testData();
        List<List<Boolean>> byReader = new ArrayList<>();
        try (MediaReader mp4 = MediaReader.open(dir.resolve("short.mp4"));
                MediaReader flv = MediaReader.open(dir.resolve("short.flv"));
                MediaReader raw = MediaReader.openRaw(dir.resolve("short.h264"), null, 30)) {
            for (MediaReader r : List.of(mp4, flv, raw)) {
                List<Boolean> referenced = new ArrayList<>();
                for (MediaSample s; (s = r.read()) != null;) {
                    if (s.kind() == MediaSample.Kind.VIDEO) {
                        AvcFrame f = s.toAvcFrame();
                        assertTrue(!f.keyFrame() || f.referenced(), r.name() + " key frame at " + s.dtsMs());
                        referenced.add(f.referenced());
                    }
                }
                byReader.add(referenced);
            }
        }
        assertEquals(byReader.get(0), byReader.get(1), "MP4 and FLV");
        assertEquals(byReader.get(0), byReader.get(2), "MP4 and raw");
        assertTrue(byReader.get(0).contains(false) && byReader.get(0).contains(true), byReader.get(0).toString());
    }
}
