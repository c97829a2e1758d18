package tessora.streaming.media.reader;

import java.io.IOException;

/** What a container reader hands to {@link MediaReader}: both tracks' samples in decoding order. */
interface SampleSource {
    /** The next sample, or null at the end. */
    MediaSample next() throws IOException;
}
