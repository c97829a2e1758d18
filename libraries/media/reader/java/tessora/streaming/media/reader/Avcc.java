package tessora.streaming.media.reader;

import java.nio.ByteBuffer;

/** H.264 samples in length-prefixed form, brought to the 4-byte prefixes that {@link MediaSample} promises. */
final class Avcc {
    private Avcc() {}

    /**
     * The access unit with 4-byte lengths: the buffer itself when it has them, a converted copy when the file's
     * lengths are 1 or 2 bytes wide.
     *
     * @throws IllegalArgumentException when a length is zero, cut short or runs past the sample
     */
    static ByteBuffer toFourByteLengths(ByteBuffer sample, int lengthSize) {
        int extra = 0;
        for (int at = sample.position(); at < sample.limit(); ) {
            if (sample.limit() - at < lengthSize) {
                throw new IllegalArgumentException("NAL unit length cut short at byte " + (at - sample.position()));
            }
            long n = length(sample, at, lengthSize);
            if (n == 0 || n > sample.limit() - at - lengthSize) {
                throw new IllegalArgumentException("NAL unit length " + n + " at byte " + (at - sample.position())
                        + " runs past the sample");
            }
            at += lengthSize + (int) n;
            extra += 4 - lengthSize;
        }
        if (lengthSize == 4) {
            return sample;
        }
        ByteBuffer out = ByteBuffer.allocate(sample.remaining() + extra);
        for (int at = sample.position(); at < sample.limit(); ) {
            int n = (int) length(sample, at, lengthSize);
            out.putInt(n).put(sample.duplicate().position(at + lengthSize).limit(at + lengthSize + n));
            at += lengthSize + n;
        }
        return out.flip();
    }

    private static long length(ByteBuffer b, int at, int size) {
        long n = 0;
        for (int i = 0; i < size; i++) {
            n = n << 8 | (b.get(at + i) & 0xFF);
        }
        return n;
    }
}
