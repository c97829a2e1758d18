package tessora.streaming.rtmpdump;

import java.nio.ByteBuffer;

/**
 * The direct buffer one stream's sends copy their bytes into for the native side, which reads them in place for the
 * length of the call. It grows to the largest message sent and is reused; a stream's lock guards it.
 *
 * <p>Why a copy: Java arrays can only be handed to native code pinned, and a pinned array must not stay pinned while
 * the send blocks on the socket or logs through a Java logger. A caller's own direct buffer is copied too, so that
 * nothing the caller may free or unmap is ever read by native code.
 */
final class Staging {
    private final int initialCapacity;
    private ByteBuffer buffer;

    Staging(int initialCapacity) {
        this.initialCapacity = Math.max(initialCapacity, 64);
    }

    /** The buffer, with the bytes of src (position to limit) at index at; src is not changed. */
    ByteBuffer put(int at, ByteBuffer src) {
        int n = src.remaining();
        reserve(at + n).put(at, src, src.position(), n);
        return buffer;
    }

    /** The buffer, with the bytes of src at index at. */
    ByteBuffer put(int at, byte[] src) {
        reserve(at + src.length).put(at, src);
        return buffer;
    }

    private ByteBuffer reserve(int size) {
        if (buffer == null || buffer.capacity() < size) {
            int capacity = buffer == null ? initialCapacity : buffer.capacity();
            while (capacity < size) {
                capacity = capacity > Integer.MAX_VALUE / 2 ? size : capacity * 2;
            }
            ByteBuffer grown = ByteBuffer.allocateDirect(capacity);
            if (buffer != null) {
                grown.put(0, buffer, 0, buffer.capacity());
            }
            buffer = grown;
        }
        return buffer;
    }
}
