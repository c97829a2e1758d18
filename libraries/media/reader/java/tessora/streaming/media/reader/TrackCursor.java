package tessora.streaming.media.reader;

import java.io.IOException;
import java.nio.ByteBuffer;

/** One track's samples in decoding order, times in the track's timescale; bytes are read only when taken. */
interface TrackCursor {
    /** Where and when the next sample is. */
    record Next(long dts, long pts, boolean keyFrame, long offset) {}

    MediaSample.Kind kind();

    /** The file the track is read from. */
    Source source();

    /** Ticks per second of the track's times. */
    long timescale();

    /** The next sample, or null at the end; repeated calls give the same sample until it is taken. */
    Next peek() throws IOException;

    /** The bytes of the sample {@link #peek()} gave (in the form {@link MediaSample} describes); moves on. */
    ByteBuffer take() throws IOException;
}
