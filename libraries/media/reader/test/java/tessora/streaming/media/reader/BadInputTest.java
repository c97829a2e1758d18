package tessora.streaming.media.reader;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTimeoutPreemptively;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.ByteBuffer;
import java.nio.charset.StandardCharsets;
import java.nio.file.Path;
import java.time.Duration;
import java.util.ArrayList;
import java.util.List;
import java.util.Map;

import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/** Cut and corrupt files: the frames before the damage, then a clean end or an error that says where. */
class BadInputTest {
    @TempDir
    static Path dir;
    static Map<String, byte[]> files;

    @BeforeAll
    static void make() throws Exception {
        files = SmallFiles.make(dir);
    }

    @Test
    void everyPrefixGivesTheWholeFilesFirstFramesThenEndsOrFails() {
        assertTimeoutPreemptively(Duration.ofSeconds(240), () -> {
            for (Map.Entry<String, byte[]> f : files.entrySet()) {
                String name = f.getKey();
                byte[] whole = f.getValue();
                List<String> all = SmallFiles.frames(name, whole, whole.length, new ArrayList<>());
                assertTrue(all.size() > 10, name);
                int failures = 0;
                for (int n = 0; n < whole.length; n++) {
                    List<String> got = new ArrayList<>();
                    try {
                        SmallFiles.frames(name, whole, n, got);
                    } catch (MediaFormatException e) {
                        assertEquals(name, e.file());
                        assertTrue(e.offset() >= 0 && e.offset() <= whole.length, e.getMessage());
                        failures++;
                    }
                    assertEquals(all.subList(0, got.size()), got, name + " cut at " + n);
                }
                // Only cuts at a frame's end can end cleanly; most fail.
                assertTrue(failures > whole.length / 2, name + ": " + failures + " failures");
            }
        });
    }

    /**
     * A field set to a value that does not fit. Each case: file, box or tag, the field's offset from the payload,
     * the value, then the place and problem the error must name.
     */
    @Test
    void corruptFieldsAreNamedWithTheirBoxAndOffset() throws Exception {
        Object[][] cases = {
            {"faststart.mp4", "stsz", 8, -1, "moov/trak/mdia/minf/stbl/stsz", "do not fit in its"},
            {"faststart.mp4", "stco", 4, 0x10000, "moov/trak/mdia/minf/stbl/stco", "do not fit in its"},
            {"faststart.mp4", "stts", 8, 1, "moov/trak/mdia/minf/stbl/stts", "covers 1 of"},
            {"faststart.mp4", "avcC", 0, 0x02640000, "moov/trak/mdia/minf/stbl/stsd/avc1/avcC", "unknown version"},
            {"faststart.mp4", "mdhd", 12, 0, "moov/trak/mdia/mdhd", "timescale 0"},
            {"small.mp4", "mdat", -8, 0x7FFFFFFF, "mdat", "does not fit"},
            {"fragmented.mp4", "trun", 4, 0x7FFFFFFF, "moof/traf/trun", "do not fit in the box or the file"},
            {"small.flv", "video tag", -8, 0x09FFFFFF, "video tag", "claims 16777215 bytes"},
        };
        for (Object[] c : cases) {
            String name = (String) c[0];
            byte[] b = files.get(name).clone();
            int box = ((String) c[1]).equals("video tag") ? firstVideoTag(b) : boxAt(b, (String) c[1]);
            ByteBuffer.wrap(b).putInt(box + 8 + (int) c[2], (int) c[3]);
            MediaFormatException e = assertThrows(MediaFormatException.class,
                    () -> SmallFiles.frames(name, b, b.length, new ArrayList<>()), name + " " + c[1]);
            assertEquals(List.of(name, c[4], (long) box), List.of(e.file(), e.where(), e.offset()), e.getMessage());
            assertTrue(e.problem().contains((String) c[5]), e.getMessage());
        }
    }

    /** The offset of the first box of a type (its size field). */
    private static int boxAt(byte[] b, String type) {
        return new String(b, StandardCharsets.ISO_8859_1).indexOf(type) - 4;
    }

    private static int firstVideoTag(byte[] b) {
        ByteBuffer in = ByteBuffer.wrap(b);
        int at = 13;
        while (b[at] != 9) {
            at += 11 + (in.getInt(at) & 0xFFFFFF) + 4;
        }
        return at;
    }
}
