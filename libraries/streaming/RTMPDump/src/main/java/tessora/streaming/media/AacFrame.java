package tessora.streaming.media;

import java.nio.ByteBuffer;

/**
 * One raw AAC frame (no ADTS header) with its time.
 *
 * @param data the frame, from its position to its limit; a read-only view is kept, the bytes are not copied
 * @param ptsMs milliseconds from the start of the stream, never negative
 */
public record AacFrame(ByteBuffer data, long ptsMs) {
    /** Checks the arguments and keeps a read-only view of the bytes. */
    public AacFrame {
        data = Frames.payload(data, "AAC frame");
        Frames.checkTime(ptsMs, "pts");
    }

    /** A frame of a copy of the given bytes. */
    public static AacFrame of(byte[] bytes, long ptsMs) {
        return new AacFrame(Frames.copy(bytes, "AAC frame"), ptsMs);
    }

    /**
     * The bytes, as a read-only view of its own: moving its position or limit leaves the record as it is.
     *
     * @return the bytes, from position 0 to the limit
     */
    @Override
    public ByteBuffer data() {
        return data.duplicate();
    }

    /** The frame's size in bytes. */
    public int size() {
        return data.remaining();
    }
}
