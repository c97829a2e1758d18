package tessora.streaming.session;

import java.nio.file.Path;
import java.time.Duration;
import java.util.Objects;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.logging.Logger;

import tessora.streaming.media.AacConfig;
import tessora.streaming.media.AacFrame;
import tessora.streaming.media.AvcConfig;
import tessora.streaming.media.AvcFrame;
import tessora.streaming.rtmpdump.Metadata;
import tessora.streaming.rtmpdump.Publisher;
import tessora.streaming.session.SendQueue.Entry;
import tessora.streaming.session.SendQueue.Kind;

/**
 * A live publishing session: one RTMP stream kept up for as long as the session lives, over as many connections as
 * it takes.
 *
 * <pre>{@code
 * try (Session s = Session.builder("rtmp://host/live/stream").credentials("user", "secret")
 *         .metadata(new Metadata(1280, 720, 3000, 30, 128, 44100, 16, 2))
 *         .audioConfig(aacConfig).videoConfig(avcConfig)
 *         .listener(e -> System.err.println(e))
 *         .start()) {
 *     s.offer(avcFrame);   // from the capture threads; never blocks
 *     s.offer(aacFrame);
 *     SessionStats now = s.stats();
 * }
 * }</pre>
 *
 * <p>Offers: {@code offer} puts a frame into a bounded queue and returns at once; one sender thread per session
 * takes frames from it, in the order offered, and sends them. The records are views of the caller's bytes, which
 * must stay unchanged until the frame is sent or dropped. Timestamps are sent as offered, never rewritten: a
 * capture clock that runs on across reconnections gives the server a continuous stream.
 *
 * <p>Congestion: when the link takes less than the media needs, frames wait in the queue. Once the queued media
 * time (newest frame's time minus oldest's) reaches the first threshold (700 ms by default), offered video frames
 * that no other frame refers to ({@link AvcFrame#referenced()} false) are dropped; from the second (900 ms) on, an
 * offered video frame is dropped together with every video frame after it up to the next key frame. Audio is dropped
 * only at the hard cap (3 s of media, or 16 MiB), where video is too. Only frames being offered are dropped, never
 * queued ones, so what is sent always decodes. Each send is bounded ({@link Builder#sendTimeout}, 5 s by default):
 * a message the network does not take in that time counts as a lost connection.
 *
 * <p>Connections: the session connects by itself, at the start and whenever the connection is lost, with the delays
 * of its {@link RetryPolicy} (about 1 s, growing 1.5 times, with jitter). Every connection starts with the metadata
 * and both sequence headers; after a lost one, video resumes at the next key frame (the frames before it are
 * dropped and counted) while audio goes on where it stopped. A failure that retrying cannot heal (credentials,
 * certificate, URL, a publish refused on the first connect) ends the session at once with that {@link EndReason}.
 *
 * <p>Reporting: {@link #stats()} is an immutable snapshot at any time, the bytes written to the connections and
 * those the server acknowledged included; a {@link SessionListener} receives every state change on the sender
 * thread. While no media flows the sender still reads the server every 100 ms, answering its pings and noticing at
 * once a server that ends the publish.
 *
 * <p>Close: {@link #close()} sends what is queued for at most {@link Builder#closeTimeout}, then ends the publish
 * gracefully, waiting at most {@link Builder#finishTimeout} for the server to read everything and close its side
 * ({@link SessionStats#fullyAcknowledged()} then tells whether it acknowledged every byte). It returns within those
 * two plus the send timeout and a second.
 */
public final class Session implements AutoCloseable {
    /** The logger the session reports to: this package's name. */
    public static final String LOGGER_NAME = "tessora.streaming.session";

    private static final AtomicInteger SESSIONS = new AtomicInteger();

    private final SendQueue queue;
    private final Sender sender;
    private final Thread thread;
    private final Duration closeTimeout;
    private final Duration closeBound;
    private final AtomicBoolean closing = new AtomicBoolean();

    private Session(Builder b) {
        Publisher.Settings settings = b.publisher.sendTimeout(b.sendTimeout).unsentLimit(b.unsentLimit)
                .closeTimeout(b.finishTimeout).settings();
        queue = new SendQueue(new SendQueue.Limits(b.nonReferenceMs, b.toKeyFrameMs, b.capMs, b.capBytes));
        sender = new Sender(settings, b.metadata, b.audioConfig, b.videoConfig, b.retry, b.listener, queue);
        closeTimeout = b.closeTimeout;
        closeBound = b.closeTimeout.plus(b.finishTimeout).plus(b.sendTimeout).plusSeconds(1);
        thread = new Thread(sender, "tessora-session-" + SESSIONS.incrementAndGet());
        // A session given up by close while a connect is still waiting on the network must not hold the JVM.
        thread.setDaemon(true);
    }

    /**
     * Begins describing a session.
     *
     * @param url the RTMP URL, {@code rtmp://host[:port]/app/stream} (also rtmps, rtmpt, ...)
     * @return a builder
     */
    public static Builder builder(String url) {
        return new Builder(url);
    }

    /**
     * Queues an H.264 access unit; never blocks.
     *
     * @param frame the access unit, times in milliseconds on the capture clock
     * @return true when queued; false when the drop policy left it out or the session is closing or over (the drop
     *     is counted in {@link #stats()})
     * @throws NullPointerException when frame is null
     */
    public boolean offer(AvcFrame frame) {
        Objects.requireNonNull(frame, "frame");
        return queue.offer(new Entry(Kind.VIDEO, frame, frame.dtsMs(), frame.size(), frame.keyFrame()));
    }

    /**
     * Queues a raw AAC frame; never blocks.
     *
     * @param frame the frame, time in milliseconds on the capture clock
     * @return true when queued; false when the drop policy left it out or the session is closing or over
     */
    public boolean offer(AacFrame frame) {
        Objects.requireNonNull(frame, "frame");
        return queue.offer(new Entry(Kind.AUDIO, frame, frame.ptsMs(), frame.size(), false));
    }

    /**
     * Queues a new AVC sequence header, sent in its place among the frames and on every later connection. Never
     * dropped by the policy.
     *
     * @param config the parameter sets
     * @return true when queued; false when the session is closing or over
     */
    public boolean offer(AvcConfig config) {
        Objects.requireNonNull(config, "config");
        return queue.offer(new Entry(Kind.VIDEO_CONFIG, config, queue.newestMs(), 0, false));
    }

    /**
     * Queues a new AAC sequence header, sent in its place among the frames and on every later connection.
     *
     * @param config the AudioSpecificConfig
     * @return true when queued; false when the session is closing or over
     */
    public boolean offer(AacConfig config) {
        Objects.requireNonNull(config, "config");
        return queue.offer(new Entry(Kind.AUDIO_CONFIG, config, queue.newestMs(), 0, false));
    }

    /**
     * What the session has done so far.
     *
     * @return an immutable snapshot
     */
    public SessionStats stats() {
        return queue.snapshot();
    }

    /**
     * Where the session stands now.
     *
     * @return the state
     */
    public SessionState state() {
        return queue.state();
    }

    /**
     * Waits until the session has ended (by itself or by {@link #close}).
     *
     * @param timeout the longest wait
     * @return true when it has ended
     * @throws InterruptedException when interrupted while waiting
     */
    public boolean awaitEnd(Duration timeout) throws InterruptedException {
        thread.join(Math.max(1, timeout.toMillis()));
        return !thread.isAlive();
    }

    /**
     * Ends the session: no more offers are taken, what is queued is sent for at most the close timeout, then the
     * publish is ended gracefully within the finish timeout and the connection closed. Returns within the close
     * timeout, the finish timeout, the send timeout and a second; a connect still
     * waiting on the network by then is left to end on its own (its frames are counted as left out). Idempotent.
     * Called from the listener, it only asks the session to end.
     */
    @Override
    public void close() {
        if (closing.compareAndSet(false, true)) {
            sender.requestClose(closeTimeout);
        }
        if (Thread.currentThread() == thread) {
            return; // from the listener: the sender ends once the listener returns
        }
        try {
            thread.join(closeBound.toMillis());
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
        if (thread.isAlive()) {
            queue.end(EndReason.CLOSED, "closed while a connect was still under way");
        }
    }

    @Override
    public String toString() {
        return "Session[" + thread.getName() + ", " + state() + "]";
    }

    /** Describes a session; {@link #start} begins it. */
    public static final class Builder {
        private final Publisher.Builder publisher;
        private Duration sendTimeout = Duration.ofSeconds(5);
        private int unsentLimit = 64 * 1024;
        private long nonReferenceMs = 700;
        private long toKeyFrameMs = 900;
        private long capMs = 3000;
        private long capBytes = 16L << 20;
        private RetryPolicy retry = RetryPolicy.DEFAULT;
        private Duration closeTimeout = Duration.ofSeconds(5);
        private Duration finishTimeout = Duration.ofMillis(Publisher.DEFAULT_CLOSE_TIMEOUT_MS);
        private Metadata metadata;
        private AacConfig audioConfig;
        private AvcConfig videoConfig;
        private SessionListener listener = e -> {};

        private Builder(String url) {
            publisher = Publisher.to(Objects.requireNonNull(url, "url"));
        }

        /**
         * Publisher credentials for servers that authenticate (adobe, llnw).
         *
         * @param username the user name, null for none
         * @param password the password, null for none
         * @return this builder
         */
        public Builder credentials(String username, String password) {
            publisher.credentials(username, password);
            return this;
        }

        /**
         * The outgoing RTMP chunk size ({@value Publisher#DEFAULT_CHUNK_SIZE} by default).
         *
         * @param size bytes per chunk
         * @return this builder
         */
        public Builder chunkSize(int size) {
            publisher.chunkSize(size);
            return this;
        }

        /**
         * Whether an RTMPS connect verifies the server's certificate (the default), and against which authorities.
         *
         * @param verify verify the server; false for tests against self-signed servers only
         * @param caFile a PEM file of authorities instead of the system's, or null
         * @return this builder
         */
        public Builder tls(boolean verify, Path caFile) {
            publisher.tlsVerify(verify).tlsCaFile(caFile);
            return this;
        }

        /**
         * Media goes out as FLV tags through the FLV stream writer instead of as RTMP packets.
         *
         * @param on FLV-write mode
         * @return this builder
         */
        public Builder flvWrite(boolean on) {
            publisher.flvWrite(on);
            return this;
        }

        /**
         * Where the native side logs the connections' messages.
         *
         * @param logger the logger; null for {@value Publisher#LOGGER_NAME}
         * @return this builder
         */
        public Builder logger(Logger logger) {
            publisher.logger(logger);
            return this;
        }

        /**
         * The time one message may take to leave (5 s by default); past it the connection counts as lost.
         *
         * @param timeout the bound, more than zero
         * @return this builder
         */
        public Builder sendTimeout(Duration timeout) {
            if (timeout.isZero() || timeout.isNegative()) {
                throw new IllegalArgumentException("send timeout must be positive: " + timeout);
            }
            this.sendTimeout = timeout;
            return this;
        }

        /**
         * The unsent bytes the socket may hold before a send waits (64 KiB by default): the less, the sooner
         * congestion reaches the queue, where the drop policy can choose what to leave out.
         *
         * @param bytes the limit; 0 for the kernel's own (megabytes)
         * @return this builder
         */
        public Builder unsentLimit(int bytes) {
            this.unsentLimit = bytes;
            return this;
        }

        /**
         * The queued media times from which video is dropped: non-reference frames from the first (700 ms by
         * default), every frame up to the next key frame from the second (900 ms).
         *
         * @param nonReference the first threshold
         * @param toKeyFrame the second threshold, not below the first
         * @return this builder
         */
        public Builder dropThresholds(Duration nonReference, Duration toKeyFrame) {
            if (nonReference.isNegative() || toKeyFrame.compareTo(nonReference) < 0) {
                throw new IllegalArgumentException("thresholds out of order: " + nonReference + ", " + toKeyFrame);
            }
            this.nonReferenceMs = nonReference.toMillis();
            this.toKeyFrameMs = toKeyFrame.toMillis();
            return this;
        }

        /**
         * The queue's hard cap, at which any frame offered is dropped, audio included (3 s and 16 MiB by default).
         * The bytes bound the queue's memory: the frames' payloads it holds never exceed them.
         *
         * @param mediaTime queued media time
         * @param bytes queued payload bytes
         * @return this builder
         */
        public Builder hardCap(Duration mediaTime, long bytes) {
            if (mediaTime.isNegative() || bytes < 0) {
                throw new IllegalArgumentException("negative cap");
            }
            this.capMs = mediaTime.toMillis();
            this.capBytes = bytes;
            return this;
        }

        /**
         * How connects are retried ({@link RetryPolicy#DEFAULT} by default).
         *
         * @param policy the policy
         * @return this builder
         */
        public Builder retry(RetryPolicy policy) {
            this.retry = Objects.requireNonNull(policy, "policy");
            return this;
        }

        /**
         * How long {@link Session#close} goes on sending what is queued (5 s by default).
         *
         * @param timeout the time; zero to drop what is queued at once
         * @return this builder
         */
        public Builder closeTimeout(Duration timeout) {
            if (timeout.isNegative()) {
                throw new IllegalArgumentException("negative close timeout");
            }
            this.closeTimeout = timeout;
            return this;
        }

        /**
         * How long {@link Session#close}, once the queue is sent, waits for the server to read everything and close
         * its side ({@value Publisher#DEFAULT_CLOSE_TIMEOUT_MS} ms by default); the unpublish is included. A
         * connection lost on the way is closed at once.
         *
         * @param timeout the bound, whole milliseconds; zero closes without waiting for the server
         * @return this builder
         */
        public Builder finishTimeout(Duration timeout) {
            publisher.closeTimeout(timeout); // checks the range
            this.finishTimeout = timeout;
            return this;
        }

        /**
         * The onMetaData every connection starts with; none by default.
         *
         * @param metadata what the stream carries, or null
         * @return this builder
         */
        public Builder metadata(Metadata metadata) {
            this.metadata = metadata;
            return this;
        }

        /**
         * The AAC sequence header every connection starts with, until {@link Session#offer(AacConfig)} gives
         * another.
         *
         * @param config the AudioSpecificConfig, or null
         * @return this builder
         */
        public Builder audioConfig(AacConfig config) {
            this.audioConfig = config;
            return this;
        }

        /**
         * The AVC sequence header every connection starts with, until {@link Session#offer(AvcConfig)} gives
         * another.
         *
         * @param config the parameter sets, or null
         * @return this builder
         */
        public Builder videoConfig(AvcConfig config) {
            this.videoConfig = config;
            return this;
        }

        /**
         * Who hears of state changes.
         *
         * @param listener the listener, called on the sender thread
         * @return this builder
         */
        public Builder listener(SessionListener listener) {
            this.listener = Objects.requireNonNull(listener, "listener");
            return this;
        }

        /**
         * Starts the session: its sender thread connects and sends while frames are offered. Returns at once; the
         * outcome of the connect comes to the listener and into {@link Session#stats()}.
         *
         * @return the session
         * @throws IllegalArgumentException when a publisher setting is out of range
         */
        public Session start() {
            Session s = new Session(this);
            s.thread.start();
            return s;
        }
    }
}
