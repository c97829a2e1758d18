package tessora.streaming.media.reader;

import java.io.IOException;
import java.io.UncheckedIOException;
import java.nio.channels.SeekableByteChannel;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Iterator;
import java.util.NoSuchElementException;
import java.util.Optional;
import java.util.Spliterator;
import java.util.Spliterators;
import java.util.stream.Stream;
import java.util.stream.StreamSupport;

import tessora.streaming.media.AacConfig;
import tessora.streaming.media.AvcConfig;

/**
 * A media file read for publishing: its description, its H.264 and AAC sequence headers, and its frames in
 * decoding order across both tracks.
 *
 * <p>Formats: MP4 (ISO base media: moov before or after mdat, edit lists, fragmented files), FLV, and raw H.264
 * Annex B with ADTS AAC. {@link #open(Path)} tells MP4, FLV and ADTS apart by their content, never by the file's
 * name; a raw H.264 stream has no times of its own and is opened with {@link #openRaw}. Only H.264 video and AAC
 * audio are read; a file whose video or audio is another codec fails, naming it.
 *
 * <p>Reading is lazy: opening reads the headers (for MP4 the movie box; for FLV the first tags; for raw H.264 the
 * first IDR period), and each {@link #read()} reads one frame, so a file larger than memory is read in bounded
 * memory. Every size the file states is checked against the file's size before anything is allocated.
 *
 * <p>A file that is cut short or corrupt raises a {@link MediaFormatException} naming the file, the box, tag or
 * frame, and its offset: from {@code open} when the headers are bad, from {@link #read()} when a frame is (the frames
 * before it have been read by then). The iterator and stream wrap it in an {@link UncheckedIOException}.
 *
 * <p>Publishing a file is: {@code sendMetadata(reader.info().metadata())}, the two configurations, then every
 * sample as {@link MediaSample#toAvcFrame()} or {@link MediaSample#toAacFrame()} at its {@code dtsMs}. A reader is
 * used by one thread at a time.
 */
public final class MediaReader implements AutoCloseable, Iterable<MediaSample> {
    private final String name;
    private final Opened opened;
    private final Source[] sources;
    private boolean iterated;
    private boolean closed;

    private MediaReader(String name, Opened opened, Source... sources) {
        this.name = name;
        this.opened = opened;
        this.sources = sources;
    }

    /**
     * Opens an MP4, FLV or ADTS AAC file, the format told by its content.
     *
     * @throws MediaFormatException when the content is not one of them, names another codec, or its headers are
     *     cut short or corrupt; for a raw H.264 stream, which needs {@link #openRaw}
     * @throws IOException when the file cannot be read
     */
    public static MediaReader open(Path file) throws IOException {
        SeekableByteChannel channel = Files.newByteChannel(file);
        try {
            return open(channel, file.toString());
        } catch (IOException | RuntimeException e) {
            channel.close();
            throw e;
        }
    }

    /**
     * Opens a channel holding an MP4, FLV or ADTS AAC file, as {@link #open(Path)} does. The reader owns the
     * channel from then on: closing the reader closes it (as does a failure to open).
     *
     * @param name the file's name for messages
     */
    public static MediaReader open(SeekableByteChannel channel, String name) throws IOException {
        try {
            Source source = new Source(channel, name);
            Opened opened = switch (Sniff.kind(source)) {
                case MP4 -> Mp4Reader.open(source);
                case FLV -> FlvReader.open(source);
                case ADTS -> RawReader.open(null, source, 0);
                case ANNEX_B -> throw source.error("file header", 0, "a raw H.264 stream carries no frame rate:"
                        + " open it with MediaReader.openRaw");
            };
            return new MediaReader(name, opened, source);
        } catch (IOException | RuntimeException e) {
            channel.close();
            throw e;
        }
    }

    /**
     * Opens a raw H.264 Annex B stream and an ADTS AAC stream (either may be null, not both) as one file. Access
     * unit n is decoded at n / fps seconds and presented in display order (from the pictures' order counts, with
     * the stream's reordering delay), audio frames at the samples before them; both start at 0 ms. Reading
     * H.264 uses the native H.264 helper (libtavrel_h264_jni).
     *
     * @param fps the video's frame rate, frames per second
     */
    public static MediaReader openRaw(Path video, Path audio, int fps) throws IOException {
        if (video == null && audio == null) {
            throw new IllegalArgumentException("no stream to open");
        }
        if (video != null && fps <= 0) {
            throw new IllegalArgumentException("frame rate must be positive: " + fps);
        }
        Source v = null;
        Source a = null;
        try {
            v = video == null ? null : new Source(Files.newByteChannel(video), video.toString());
            a = audio == null ? null : new Source(Files.newByteChannel(audio), audio.toString());
            String name = video == null ? audio.toString() : audio == null ? video.toString() : video + " + " + audio;
            return new MediaReader(name, RawReader.open(v, a, fps), v, a);
        } catch (IOException | RuntimeException e) {
            closeAll(v, a);
            throw e;
        }
    }

    /** The name the file was opened under. */
    public String name() {
        return name;
    }

    /** What the file holds. */
    public MediaInfo info() {
        return opened.info();
    }

    /** The H.264 sequence and picture parameter sets; empty when the file has no video. */
    public Optional<AvcConfig> avcConfig() {
        return Optional.ofNullable(opened.avc());
    }

    /** The AAC AudioSpecificConfig; empty when the file has no audio. */
    public Optional<AacConfig> aacConfig() {
        return Optional.ofNullable(opened.aac());
    }

    /**
     * The next frame in decoding order, or null after the last.
     *
     * @throws MediaFormatException when the frame is cut short or corrupt
     * @throws IOException when the file cannot be read
     */
    public MediaSample read() throws IOException {
        if (closed) {
            throw new IOException(name + ": reader closed");
        }
        return opened.samples().next();
    }

    /**
     * The frames from the current one on, read as the iterator advances. There is one sequence of frames per
     * reader: a second call fails. Failures to read come as {@link UncheckedIOException}.
     *
     * @throws IllegalStateException on a second call
     */
    @Override
    public Iterator<MediaSample> iterator() {
        if (iterated) {
            throw new IllegalStateException(name + ": the frames can be iterated once");
        }
        iterated = true;
        return new Iterator<>() {
            private MediaSample next;

            @Override
            public boolean hasNext() {
                if (next == null) {
                    try {
                        next = read();
                    } catch (IOException e) {
                        throw new UncheckedIOException(e);
                    }
                }
                return next != null;
            }

            @Override
            public MediaSample next() {
                if (!hasNext()) {
                    throw new NoSuchElementException();
                }
                MediaSample s = next;
                next = null;
                return s;
            }
        };
    }

    /** The frames as a sequential stream, read lazily, under the rules of {@link #iterator()}. */
    public Stream<MediaSample> samples() {
        return StreamSupport.stream(Spliterators.spliteratorUnknownSize(iterator(),
                Spliterator.ORDERED | Spliterator.NONNULL), false);
    }

    /** Closes the file(s); further reads fail. */
    @Override
    public void close() throws IOException {
        closed = true;
        closeAll(sources);
    }

    private static void closeAll(Source... sources) throws IOException {
        IOException failure = null;
        for (Source s : sources) {
            try {
                if (s != null) {
                    s.close();
                }
            } catch (IOException e) {
                failure = e;
            }
        }
        if (failure != null) {
            throw failure;
        }
    }
}
