package tessora.apps.publish;

import java.io.IOException;
import java.util.List;

/**
 * A media file read into memory as units in sending (decoding-time) order, with what its metadata says.
 *
 * @param units the units in sending order
 * @param info onMetaData values; zero where the file does not tell
 * @param description what the file holds, for messages
 */
public record MediaSource(List<MediaUnit> units, StreamInfo info, String description) {
    /** What the file holds, for messages. */
    public String describe() {
        return description;
    }

    /** The kind of file by its name: FLV, or a raw .h264 with an optional .aac. */
    public static MediaSource open(String video, String audio, int fps) throws IOException {
        if (video.toLowerCase().endsWith(".flv")) {
            if (audio != null) {
                throw new IOException("an FLV file carries its own audio: drop " + audio);
            }
            return FlvFile.read(java.nio.file.Path.of(video));
        }
        return RawFiles.read(java.nio.file.Path.of(video), audio == null ? null : java.nio.file.Path.of(audio), fps);
    }
}
