package tessora.streaming.media;

import java.nio.ByteBuffer;

/** The checks every frame record makes. */
final class Frames {
    private Frames() {}

    static ByteBuffer payload(ByteBuffer data, String what) {
        if (data == null) {
            throw new NullPointerException(what + " data is null");
        }
        if (!data.hasRemaining()) {
            throw new IllegalArgumentException(what + " is empty");
        }
        return data.slice().asReadOnlyBuffer();
    }

    static ByteBuffer copy(byte[] bytes, String what) {
        if (bytes == null) {
            throw new NullPointerException(what + " data is null");
        }
        return ByteBuffer.wrap(bytes.clone());
    }

    static void checkTime(long ms, String name) {
        if (ms < 0) {
            throw new IllegalArgumentException(name + " is negative: " + ms + " ms");
        }
    }
}
