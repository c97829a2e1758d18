package tessora.streaming.media.reader;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTimeoutPreemptively;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.file.Path;
import java.time.Duration;
import java.util.ArrayList;
import java.util.List;
import java.util.Map;

import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/** Files cut short at every length: the frames before the cut, then a clean end or an error that says where. */
class TruncationTest {
    @TempDir
    static Path dir;

    @Test
    void everyPrefixGivesTheWholeFilesFirstFramesThenEndsOrFails() throws Exception {
        Map<String, byte[]> files = SmallFiles.make(dir);
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
}
