package tessora.apps.publish;

import java.io.IOException;
import java.util.List;

/** A media file read into memory as units in sending (decoding-time) order, with what its metadata says. */
public interface MediaSource {
    List<MediaUnit> units();

    /** onMetaData values; zero where the file does not tell. */
    StreamInfo info();

    /** What the file holds, for messages. */
    String describe();

    /** The kind of file by its name: FLV, or a raw .h264 with an optional .aac. */
    static MediaSource open(String video, String audio, int fps) throws IOException {
        if (video.toLowerCase().endsWith(".flv")) {
            if (audio != null) {
                throw new IOException("an FLV file carries its own audio: drop " + audio);
            }
            return FlvFile.read(java.nio.file.Path.of(video));
        }
        return RawFiles.read(java.nio.file.Path.of(video), audio == null ? null : java.nio.file.Path.of(audio), fps);
    }
}
