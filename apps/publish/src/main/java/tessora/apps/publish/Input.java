package tessora.apps.publish;

import java.io.IOException;
import java.io.InputStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.List;

import tessora.streaming.media.reader.MediaFormatException;
import tessora.streaming.media.reader.MediaReader;

/**
 * The files of a command line opened with the library's readers, each format told by its content, never by its
 * name: an MP4, FLV or ADTS file alone, or a raw H.264 stream alone or with an ADTS stream beside it.
 */
final class Input {
    private Input() {}

    /**
     * @param files one file, or a raw H.264 stream and its ADTS audio
     * @param fps the frame rate of a raw H.264 stream, which carries no times
     */
    static MediaReader open(List<String> files, int fps) throws IOException {
        Path first = Path.of(files.get(0));
        if (files.size() == 2) {
            return MediaReader.openRaw(first, Path.of(files.get(1)), fps);
        }
        try {
            return MediaReader.open(first);
        } catch (MediaFormatException e) {
            // The library tells raw H.264 apart but cannot open it without the frame rate, which only we have.
            if (startsWithStartCode(first)) {
                return MediaReader.openRaw(first, null, fps);
            }
            throw e;
        }
    }

    /** Whether the file begins as an Annex B stream does: a 3- or 4-byte start code. */
    private static boolean startsWithStartCode(Path file) throws IOException {
        byte[] b;
        try (InputStream in = Files.newInputStream(file)) {
            b = in.readNBytes(4);
        }
        return b.length >= 4 && b[0] == 0 && b[1] == 0 && (b[2] == 1 || b[2] == 0 && b[3] == 1);
    }
}
