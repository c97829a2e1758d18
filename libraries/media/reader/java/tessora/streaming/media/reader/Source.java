package tessora.streaming.media.reader;

import java.io.EOFException;
import java.io.IOException;
import java.nio.ByteBuffer;
import java.nio.channels.SeekableByteChannel;

/**
 * The file being read: positioned reads that are checked against the file's size before anything is allocated,
 * and the one place that makes the readers' exceptions.
 */
final class Source implements AutoCloseable {
    /** The most any single read may hold in memory: a box read whole, one sample. */
    static final int MAX_READ = 64 << 20;

    private final SeekableByteChannel channel;
    private final String name;
    private final long size;

    Source(SeekableByteChannel channel, String name) throws IOException {
        this.channel = channel;
        this.name = name;
        this.size = channel.size();
    }

    String name() {
        return name;
    }

    long size() {
        return size;
    }

    MediaFormatException error(String where, long offset, String problem) {
        return new MediaFormatException(name, where, offset, problem);
    }

    /**
     * {@code length} bytes from {@code offset}, as a big-endian buffer. Fails, naming {@code where}, when they run
     * past the end of the file or exceed {@link #MAX_READ}.
     */
    ByteBuffer read(long offset, long length, String where) throws IOException {
        if (offset < 0 || length < 0 || length > size - offset) {
            throw error(where, offset, length + " bytes wanted, " + Math.max(0, size - offset) + " left in the file");
        }
        if (length > MAX_READ) {
            throw error(where, offset, length + " bytes is more than the " + MAX_READ + " read at once");
        }
        ByteBuffer b = ByteBuffer.allocate((int) length);
        channel.position(offset);
        while (b.hasRemaining()) {
            if (channel.read(b) < 0) {
                throw new EOFException(name + ": ended at byte " + (offset + b.position()) + " while reading "
                        + where + " (the file shrank?)");
            }
        }
        return b.flip();
    }

    /** Up to {@code length} bytes from {@code offset}: fewer at the end of the file. */
    ByteBuffer readUpTo(long offset, int length, String where) throws IOException {
        return read(offset, Math.max(0, Math.min(length, size - offset)), where);
    }

    @Override
    public void close() throws IOException {
        channel.close();
    }
}
