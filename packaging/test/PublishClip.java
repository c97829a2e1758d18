import java.nio.file.Path;

import tessora.streaming.media.reader.MediaReader;
import tessora.streaming.media.reader.MediaSample;
import tessora.streaming.rtmpdump.Publisher;
import tessora.streaming.rtmpdump.RtmpError;

/**
 * What a new user writes: reads a file with the media readers and publishes it through the typed API, as fast as
 * the server takes it. Run from source with the jar alone: java -cp tessora-streaming-VERSION.jar PublishClip.java
 * URL FILE
 */
public class PublishClip {
    public static void main(String[] args) throws Exception {
        try (MediaReader reader = MediaReader.open(Path.of(args[1]));
                Publisher publisher = Publisher.to(args[0]).connect()) {
            check(publisher.sendMetadata(reader.info().metadata()));
            reader.avcConfig().ifPresent(c -> check(publisher.send(c)));
            reader.aacConfig().ifPresent(c -> check(publisher.send(c)));
            for (MediaSample s : reader) {
                check(s.kind() == MediaSample.Kind.VIDEO ? publisher.send(s.toAvcFrame())
                        : publisher.send(s.toAacFrame()));
            }
        }
    }

    private static void check(RtmpError e) {
        if (!e.isOk()) {
            throw new IllegalStateException("send failed: " + e);
        }
    }
}
