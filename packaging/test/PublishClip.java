import java.nio.file.Path;

import tessora.streaming.media.reader.MediaReader;
import tessora.streaming.media.reader.MediaSample;
import tessora.streaming.rtmpdump.Publisher;
import tessora.streaming.rtmpdump.PublisherException;
import tessora.streaming.rtmpdump.RtmpError;

/**
 * The README's example, as a new user writes it: reads a file with the media readers and publishes it in real time
 * through the typed API. Run from source with the jar alone: java -cp tessora-streaming-VERSION.jar PublishClip.java
 * URL FILE
 */
public class PublishClip {
    public static void main(String[] args) throws Exception {
        try (MediaReader in = MediaReader.open(Path.of(args[1]));
                Publisher out = Publisher.to(args[0]).connect()) {
            out.sendMetadata(in.info().metadata());
            in.avcConfig().ifPresent(out::send);
            in.aacConfig().ifPresent(out::send);
            long start = System.nanoTime();
            for (MediaSample s : in) {
                long early = s.dtsMs() - (System.nanoTime() - start) / 1_000_000;
                if (early > 0) {
                    Thread.sleep(early); // each frame leaves at its decoding time
                }
                RtmpError r = s.kind() == MediaSample.Kind.VIDEO ? out.send(s.toAvcFrame()) : out.send(s.toAacFrame());
                if (!r.isOk()) {
                    throw new IllegalStateException("not sent: " + r);
                }
            }
        } catch (PublisherException e) {
            System.err.println(e.getMessage() + " [" + e.reason() + "]");
            System.exit(1);
        }
    }
}
