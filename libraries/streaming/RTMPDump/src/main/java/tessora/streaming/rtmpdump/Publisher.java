package tessora.streaming.rtmpdump;

import java.lang.ref.Cleaner;
import java.nio.ByteBuffer;
import java.nio.file.Path;
import java.time.Duration;
import java.util.List;
import java.util.Objects;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.concurrent.locks.Lock;
import java.util.concurrent.locks.ReentrantLock;
import java.util.concurrent.locks.ReentrantReadWriteLock;
import java.util.function.LongFunction;
import java.util.function.LongToIntFunction;
import java.util.function.Supplier;
import java.util.logging.Level;
import java.util.logging.Logger;

import tessora.streaming.media.AacConfig;
import tessora.streaming.media.AacFrame;
import tessora.streaming.media.AvcConfig;
import tessora.streaming.media.AvcFrame;

/**
 * One publishing connection to an RTMP server: a safe layer over {@link Tavrel}'s handle that sends the typed
 * records of {@code tessora.streaming.media}.
 *
 * <pre>{@code
 * try (Publisher p = Publisher.to("rtmp://host/live/stream").credentials("user", "secret").connect()) {
 *     p.sendMetadata(new Metadata(1280, 720, 3000, 30, 128, 44100, 16, 2));
 *     p.send(aacConfig);                // AacConfig, then AvcConfig
 *     p.send(avcConfig);
 *     RtmpError e = p.send(avcFrame);   // AvcFrame / AacFrame, from an audio and a video thread
 *     if (e == RtmpError.NEEDS_TO_RECONNECT && p.reconnectFull() == ConnectionState.CONNECTED) {
 *         p.send(aacConfig);            // a new connection needs the configurations again
 *         p.send(avcConfig);
 *     }
 * } catch (PublisherException e) {
 *     System.err.println(e.getMessage() + " (" + e.reason() + ")");
 * }
 * }</pre>
 *
 * <p>Threads: any number of threads may call; audio sends are serialised among themselves, video sends among
 * themselves, and one audio and one video send run at the same time, as the native side allows. Reconnections and
 * {@link #close} exclude every other call; a send that finds one running or waiting returns
 * {@link RtmpError#RECONNECTING} at once instead of waiting, while state queries wait for it to end. A close waits
 * for the sends in progress (one blocked on a server that stopped reading holds it until the send timeout,
 * {@link Builder#sendTimeout}, or without one until the socket gives up).
 *
 * <p>Handles: the native handle never leaves this object. After a full reconnection the replaced handle is
 * forgotten under the exclusive lock, so it cannot reach native code again; after {@link #close} every method but
 * {@code close} throws {@link IllegalStateException}. A full reconnection that fails leaves the publisher without
 * a connection (sends return {@link RtmpError#NEEDS_TO_RECONNECT}) until a later {@link #reconnectFull} connects
 * anew with the same settings. A publisher dropped without {@code close} is closed by a {@link Cleaner}.
 *
 * <p>Records: the sends take the typed records, which hold Java memory only and were checked when made. Their bytes
 * are copied into a direct buffer of the stream for the length of the call; nothing the caller holds is read by
 * native code. A null record throws {@link NullPointerException}; nothing takes a native address.
 *
 * <p>Connection: the outgoing chunk size ({@link Builder#chunkSize}, 4096 by default) is set right after every
 * connect this publisher makes. RTMPS URLs verify the server's certificate unless told otherwise
 * ({@link Builder#tlsVerify}, {@link Builder#tlsCaFile}). A failed connect throws {@link PublisherException} with
 * its {@link PublisherException.Reason}.
 *
 * <p>Logging: unless a logger is given, the native messages of the connection go to the {@link Logger} named
 * {@value #LOGGER_NAME}, and the first connect installs it as the global logger for librtmp's own messages unless
 * {@link #setGlobalLogger} chose one. No successful send is logged above {@link Level#FINE}: the native report of
 * each sent message, which it gives at WARNING, reaches the logger at FINE.
 */
public final class Publisher implements AutoCloseable {
    /** The name of the logger the native messages go to by default: this package's name. */
    public static final String LOGGER_NAME = "tessora.streaming.rtmpdump";
    /** The outgoing chunk size a publisher sets unless told otherwise. */
    public static final int DEFAULT_CHUNK_SIZE = 4096;
    /** How long the graceful end of a publish ({@link #finish}, {@link #close}) waits, in milliseconds, by default. */
    public static final int DEFAULT_CLOSE_TIMEOUT_MS = 3000;

    private static final Cleaner CLEANER = Cleaner.create();
    private static final Logger LOG = Logger.getLogger(LOGGER_NAME);
    /** The largest RTMP message body: a bigger frame can never be sent, and is not copied. */
    private static final int MAX_MESSAGE_BODY = 0xFFFFFF;
    private static boolean globalLoggerChosen; // under Publisher.class

    /**
     * What a publisher is made with. The password is not shown by {@link #toString}.
     *
     * @param url the RTMP URL, {@code rtmp://host[:port]/app/stream} (also rtmps, rtmpt, ...); librtmp options may
     *     follow after a space
     * @param username publisher user name for servers that authenticate (adobe, llnw), or null
     * @param password publisher password, or null
     * @param flvWrite media goes out as FLV tags through the FLV stream writer instead of as RTMP packets
     * @param queue the queue flag of librtmp's packet sender (packet mode)
     * @param logAudio trace every audio message at level FINEST
     * @param logVideo trace every video message at level FINEST
     * @param maxAudioFrame the largest AAC frame expected, in bytes
     * @param maxVideoFrame the largest H.264 access unit expected, in bytes
     * @param chunkSize the outgoing RTMP chunk size set after every connect, 1 to 0x7FFFFFFF
     * @param sendTimeoutMs the time one message may take to leave, in milliseconds; a send past it ends the
     *     connection as lost ({@link RtmpError#NEEDS_TO_RECONNECT}); 0 for no bound
     * @param unsentLimit the unsent bytes the connection's socket may hold before a send waits; 0 for the kernel's
     *     own limit (megabytes)
     * @param closeTimeoutMs the bound of the graceful end ({@link #finish}, {@link #close}), in milliseconds, the
     *     unpublish included; 0 closes without waiting for the server
     * @param tlsVerify whether an RTMPS connect verifies the server's certificate
     * @param tlsCaFile the certificate authorities to verify against instead of the system's, or null
     * @param logger where the native side logs this connection's messages; null means the logger
     *     {@value #LOGGER_NAME}
     */
    public record Settings(String url, String username, String password, boolean flvWrite, boolean queue,
            boolean logAudio, boolean logVideo, int maxAudioFrame, int maxVideoFrame, int chunkSize,
            int sendTimeoutMs, int unsentLimit, int closeTimeoutMs, boolean tlsVerify, Path tlsCaFile,
            Logger logger) {
        /** Checks the values; a null logger becomes the package's. */
        public Settings {
            if (url == null) {
                throw new IllegalArgumentException("url is null");
            }
            if (maxAudioFrame < 0 || maxVideoFrame < 0) {
                throw new IllegalArgumentException("negative frame size");
            }
            if (chunkSize < 1) {
                throw new IllegalArgumentException("chunk size must be at least 1: " + chunkSize);
            }
            if (sendTimeoutMs < 0 || unsentLimit < 0) {
                throw new IllegalArgumentException("negative send bound");
            }
            if (closeTimeoutMs < 0) {
                throw new IllegalArgumentException("negative close timeout");
            }
            if (logger == null) {
                logger = LOG;
            }
        }

        /**
         * The URL as the native connect gets it: {@link #url} with the TLS options in librtmp's form (space-separated
         * {@code key=value}, a space or backslash in a value escaped as {@code \20} / {@code \5c}).
         *
         * @return the URL to connect to
         */
        public String connectUrl() {
            StringBuilder b = new StringBuilder(url);
            if (!tlsVerify) {
                b.append(" tlsVerify=0");
            }
            if (tlsCaFile != null) {
                b.append(" tlsCAFile=").append(tlsCaFile.toString().replace("\\", "\\5c").replace(" ", "\\20"));
            }
            return b.toString();
        }

        @Override
        public String toString() {
            return "Settings[url=" + url + ", username=" + username + ", password=" + (password == null ? null : "***")
                    + ", flvWrite=" + flvWrite + ", queue=" + queue + ", logAudio=" + logAudio + ", logVideo="
                    + logVideo + ", maxAudioFrame=" + maxAudioFrame + ", maxVideoFrame=" + maxVideoFrame
                    + ", chunkSize=" + chunkSize + ", sendTimeoutMs=" + sendTimeoutMs + ", unsentLimit=" + unsentLimit
                    + ", closeTimeoutMs=" + closeTimeoutMs + ", tlsVerify=" + tlsVerify + ", tlsCaFile=" + tlsCaFile
                    + ", logger=" + logger.getName() + "]";
        }
    }

    /** Collects {@link Settings}; {@link #connect} makes the publisher. */
    public static final class Builder {
        private final String url;
        private String username;
        private String password;
        private boolean flvWrite;
        private boolean queue;
        private boolean logAudio;
        private boolean logVideo;
        private int maxAudioFrame = 2048;
        private int maxVideoFrame = 256 * 1024;
        private int chunkSize = DEFAULT_CHUNK_SIZE;
        private int sendTimeoutMs;
        private int unsentLimit;
        private int closeTimeoutMs = DEFAULT_CLOSE_TIMEOUT_MS;
        private boolean tlsVerify = true;
        private Path tlsCaFile;
        private Logger logger;

        private Builder(String url) {
            this.url = url;
        }

        /**
         * Publisher credentials for servers that authenticate (adobe, llnw).
         *
         * @param username the user name, null for none
         * @param password the password, null for none
         * @return this builder
         */
        public Builder credentials(String username, String password) {
            this.username = username;
            this.password = password;
            return this;
        }

        /**
         * Media goes out as FLV tags through the FLV stream writer instead of as RTMP packets.
         *
         * @param on FLV-write mode
         * @return this builder
         */
        public Builder flvWrite(boolean on) {
            this.flvWrite = on;
            return this;
        }

        /**
         * The queue flag librtmp's packet sender gets (packet mode).
         *
         * @param on the flag
         * @return this builder
         */
        public Builder queue(boolean on) {
            this.queue = on;
            return this;
        }

        /**
         * Trace every audio / video message at level FINEST.
         *
         * @param audio trace audio messages
         * @param video trace video messages
         * @return this builder
         */
        public Builder trace(boolean audio, boolean video) {
            this.logAudio = audio;
            this.logVideo = video;
            return this;
        }

        /**
         * The largest AAC frame and H.264 access unit expected; the packets start this large (larger frames still
         * go, the packets grow).
         *
         * @param audioBytes the largest AAC frame, in bytes
         * @param videoBytes the largest access unit, in bytes
         * @return this builder
         */
        public Builder maxFrames(int audioBytes, int videoBytes) {
            this.maxAudioFrame = audioBytes;
            this.maxVideoFrame = videoBytes;
            return this;
        }

        /**
         * The outgoing RTMP chunk size, sent as Set Chunk Size right after every connect this publisher makes
         * ({@value Publisher#DEFAULT_CHUNK_SIZE} by default; librtmp alone stays at 128, which costs a system call
         * per 128 bytes).
         *
         * @param size bytes per chunk, 1 to 0x7FFFFFFF
         * @return this builder
         */
        public Builder chunkSize(int size) {
            this.chunkSize = size;
            return this;
        }

        /**
         * Bounds every send: a message the network does not take within this time ends the connection as lost, and
         * the send returns {@link RtmpError#NEEDS_TO_RECONNECT}. Kept across reconnections. None by default: a
         * server that stops reading then blocks a send until the kernel gives up.
         *
         * @param timeout the bound, whole milliseconds up to {@link Integer#MAX_VALUE}; zero for none
         * @return this builder
         */
        public Builder sendTimeout(Duration timeout) {
            this.sendTimeoutMs = millis(timeout, "send timeout");
            return this;
        }

        /**
         * The bound of the graceful end of a publish ({@link Publisher#finish}, {@link Publisher#close}): the
         * unpublish, the stream deletion and the wait for the server to close its side together take no longer
         * ({@value Publisher#DEFAULT_CLOSE_TIMEOUT_MS} ms by default). Set on every connection this publisher makes.
         *
         * @param timeout the bound, whole milliseconds up to {@link Integer#MAX_VALUE}; zero closes without waiting
         * @return this builder
         */
        public Builder closeTimeout(Duration timeout) {
            this.closeTimeoutMs = millis(timeout, "close timeout");
            return this;
        }

        private static int millis(Duration d, String what) {
            long ms = d.toMillis();
            if (ms < 0 || ms > Integer.MAX_VALUE) {
                throw new IllegalArgumentException(what + " out of range: " + d);
            }
            return (int) ms;
        }

        /**
         * The unsent bytes the connection's socket may hold before a send waits. The kernel's own limit is megabytes:
         * on a link slower than the media, seconds of it wait there, out of the caller's sight and reach. A limit
         * of some tens of kilobytes makes congestion show at the sender. Kept across reconnections.
         *
         * @param bytes the limit; 0 for the kernel's own
         * @return this builder
         */
        public Builder unsentLimit(int bytes) {
            this.unsentLimit = bytes;
            return this;
        }

        /**
         * Whether an RTMPS connect verifies the server's certificate and host name (the default). Turning it off
         * accepts any certificate: for tests against self-signed servers only.
         *
         * @param verify verify the server
         * @return this builder
         */
        public Builder tlsVerify(boolean verify) {
            this.tlsVerify = verify;
            return this;
        }

        /**
         * The certificate authorities (a PEM file) that an RTMPS server's certificate must chain to, instead of the
         * system's.
         *
         * @param caFile the PEM file, or null for the system's authorities
         * @return this builder
         */
        public Builder tlsCaFile(Path caFile) {
            this.tlsCaFile = caFile;
            return this;
        }

        /**
         * Where the native side logs this connection's messages.
         *
         * @param logger the logger; null for the default, {@value Publisher#LOGGER_NAME}
         * @return this builder
         */
        public Builder logger(Logger logger) {
            this.logger = logger;
            return this;
        }

        /**
         * The settings collected so far.
         *
         * @return the settings
         * @throws IllegalArgumentException when a value is out of range
         */
        public Settings settings() {
            return new Settings(url, username, password, flvWrite, queue, logAudio, logVideo, maxAudioFrame,
                    maxVideoFrame, chunkSize, sendTimeoutMs, unsentLimit, closeTimeoutMs, tlsVerify, tlsCaFile, logger);
        }

        /**
         * Connects and publishes with the settings collected.
         *
         * @return the publisher
         * @throws PublisherException when the connect or the publish failed, with its reason
         */
        public Publisher connect() throws PublisherException {
            return Publisher.connect(settings());
        }
    }

    /**
     * The native handle, kept apart from the publisher so that the Cleaner can release it without keeping the
     * publisher reachable. Written only under the exclusive lock, or by the Cleaner once nobody else can.
     */
    private static final class Handle implements Runnable {
        // Volatile for the Cleaner's thread, which takes no lock: it must see the handle of the last full
        // reconnection, never one already released.
        volatile long addr;

        Handle(long addr) {
            this.addr = addr;
        }

        @Override
        public void run() {
            long a = addr;
            addr = 0;
            Tavrel.close(a);
        }
    }

    private final Settings settings;
    private final Handle handle;
    private final Cleaner.Cleanable cleanable;
    private final ReentrantReadWriteLock lock = new ReentrantReadWriteLock();
    private final Lock audio = new ReentrantLock();
    private final Lock video = new ReentrantLock();
    private final AtomicInteger exclusiveWanted = new AtomicInteger();
    private final Staging audioStage; // under the audio lock
    private final Staging videoStage; // under the video lock
    private volatile boolean closing;
    private boolean closed; // under the exclusive lock
    private long finishedInTime; // the connection whose server closed in time on finish; under both stream locks

    private Publisher(Settings settings, long addr) {
        this.settings = settings;
        this.handle = new Handle(addr);
        this.cleanable = CLEANER.register(this, handle);
        this.audioStage = new Staging(settings.maxAudioFrame());
        this.videoStage = new Staging(settings.maxVideoFrame());
    }

    /**
     * Starts the settings of a publisher.
     *
     * @param url the RTMP URL, {@code rtmp://host[:port]/app/stream}
     * @return a builder with the default settings
     */
    public static Builder to(String url) {
        return new Builder(url);
    }

    /**
     * Connects and publishes.
     *
     * @param settings what to connect with
     * @return the publisher
     * @throws PublisherException when the server could not be reached or did not accept the stream; its reason
     *     says which
     */
    public static Publisher connect(Settings settings) throws PublisherException {
        useDefaultGlobalLogger();
        long addr = open(settings);
        if (addr <= 0) {
            throw failure("could not publish to ", settings);
        }
        Publisher p = new Publisher(settings, addr);
        p.configure(addr);
        return p;
    }

    private static long open(Settings s) {
        return Tavrel.connect(s.connectUrl(), s.username(), s.password(), s.flvWrite(), s.queue(), s.logAudio(),
                s.logVideo(), s.maxAudioFrame(), s.maxVideoFrame(), new NativeLog(s.logger()));
    }

    /** The failure of the connect this thread just made, with the reason that connect found. */
    private static PublisherException failure(String what, Settings s) {
        PublisherException.Reason r = PublisherException.Reason.ofConnectResult(TavrelExt.last_connect_result());
        return new PublisherException(what + s.url() + ": " + r.meaning(), r);
    }

    /**
     * What every connection this publisher makes from its settings gets: the chunk size, the close timeout and the
     * send bounds (the native side keeps the bounds for its own reconnections).
     */
    private void configure(long addr) {
        setPerConnection(addr);
        if (settings.sendTimeoutMs() > 0) {
            warnUnless(TavrelExt.set_send_timeout(addr, settings.sendTimeoutMs()), "the send timeout");
        }
        if (settings.unsentLimit() > 0) {
            warnUnless(TavrelExt.set_unsent_limit(addr, settings.unsentLimit()), "the unsent limit");
        }
    }

    private void warnUnless(int r, String what) {
        if (r != 0) {
            settings.logger().log(Level.WARNING, () -> "could not set " + what + " on " + settings.url() + ": "
                    + RtmpError.of(r));
        }
    }

    /** What a connection does not take over from the one it replaces: the chunk size and the close timeout. */
    private void setPerConnection(long addr) {
        warnUnless(TavrelExt.set_chunk_size(addr, settings.chunkSize()), "the chunk size " + settings.chunkSize());
        warnUnless(TavrelExt.set_close_timeout(addr, settings.closeTimeoutMs()), "the close timeout");
    }

    /**
     * Connects and publishes without credentials, then closes: tells why a {@link #connect} would fail. It makes a
     * connection of its own; {@link PublisherException#reason()} tells the same of a failed connect itself.
     *
     * @param url the RTMP URL
     * @return the outcome
     */
    public static ConnectCheck testConnect(String url) {
        useDefaultGlobalLogger();
        return ConnectCheck.of(Tavrel.test_connect(url));
    }

    /**
     * Sets the process-wide logger for librtmp's own messages, in place of the default ({@value #LOGGER_NAME}).
     *
     * @param logger the logger; null for none
     */
    public static synchronized void setGlobalLogger(Logger logger) {
        globalLoggerChosen = true;
        Tavrel.set_global_logger(logger);
    }

    private static synchronized void useDefaultGlobalLogger() {
        if (!globalLoggerChosen) {
            globalLoggerChosen = true;
            Tavrel.set_global_logger(LOG);
        }
    }

    /**
     * The settings the publisher was made with.
     *
     * @return the settings
     */
    public Settings settings() {
        return settings;
    }

    // ---- sends -------------------------------------------------------------------------------------------------

    /**
     * Runs a send under the shared lock and the stream's own locks. The shared lock is only tried: while a
     * reconnection or close holds it exclusively, the send gives up at once, as the native side does while it
     * reconnects.
     */
    private int send(Lock first, Lock second, LongToIntFunction send) {
        // A waiting reconnection or close must not starve behind a stream of sends that keep the shared lock
        // taken: once one waits, sends stop taking it.
        if (exclusiveWanted.get() > 0 || !lock.readLock().tryLock()) {
            ensureOpen(closing);
            return RtmpError.RECONNECTING.code();
        }
        try {
            ensureOpen(closed);
            return streams(first, second, () -> onHandle(send::applyAsInt, RtmpError.NEEDS_TO_RECONNECT.code()));
        } finally {
            lock.readLock().unlock();
        }
    }

    /**
     * Runs body holding the given stream locks, always taken audio before video: none (both null), first alone
     * (second null), or both.
     */
    private static <T> T streams(Lock first, Lock second, Supplier<T> body) {
        if (first == null) {
            return body.get();
        }
        first.lock();
        try {
            return streams(second, null, body);
        } finally {
            first.unlock();
        }
    }

    /** What fn makes of the live handle, or withoutConnection after a failed full reconnection. */
    private <T> T onHandle(LongFunction<T> fn, T withoutConnection) {
        long addr = handle.addr;
        return addr > 0 ? fn.apply(addr) : withoutConnection;
    }

    /**
     * Sends the onMetaData message. It shares the connection with both media streams, so it waits for the audio
     * and the video send in progress.
     *
     * @param m what the stream carries
     * @return {@link RtmpError#OK} when sent; {@link RtmpError#FAILED_TO_SEND} when librtmp did not send it
     * @throws IllegalStateException after {@link #close}
     */
    public RtmpError sendMetadata(Metadata m) {
        Objects.requireNonNull(m, "metadata");
        int r = send(audio, video, addr -> Tavrel.send_metadata(addr, m.width(), m.height(), m.videoBitrate(),
                m.frameRate(), m.audioBitrate(), m.sampleRate(), m.sampleSizeBits(), m.channels()));
        // Our own codes (no connection, reconnecting) come back in RTMPERR form.
        return r < 0 ? RtmpError.of(r) : RtmpError.ofMetadataResult(r);
    }

    /**
     * Sends the AAC sequence header. Send it before the first frame, and again after a full reconnection.
     *
     * @param config the AudioSpecificConfig
     * @return the outcome; {@link RtmpError#RECONNECTING} while a reconnection or close runs
     * @throws NullPointerException when config is null
     * @throws IllegalStateException after {@link #close}
     */
    public RtmpError send(AacConfig config) {
        byte[] asc = Objects.requireNonNull(config, "config").audioSpecificConfig();
        return RtmpError.of(send(audio, null,
                addr -> TavrelExt.send_aac_config(addr, audioStage.put(0, asc), 0, asc.length)));
    }

    /**
     * Sends one raw AAC frame at its time.
     *
     * @param frame the frame
     * @return the outcome; {@link RtmpError#RECONNECTING} while a reconnection or close runs
     * @throws NullPointerException when frame is null
     * @throws IllegalStateException after {@link #close}
     */
    public RtmpError send(AacFrame frame) {
        ByteBuffer data = Objects.requireNonNull(frame, "frame").data();
        int n = data.remaining();
        if (n > MAX_MESSAGE_BODY) {
            return RtmpError.BUFF_TOO_LARGE;
        }
        return RtmpError.of(send(audio, null,
                addr -> TavrelExt.send_aac_frame(addr, audioStage.put(0, data), 0, n, frame.ptsMs())));
    }

    /**
     * Sends the AVC sequence header made of the first SPS and the first PPS. Send it before the first frame, and
     * again after a full reconnection.
     *
     * @param config the parameter sets
     * @return the outcome; {@link RtmpError#RECONNECTING} while a reconnection or close runs
     * @throws NullPointerException when config is null
     * @throws IllegalStateException after {@link #close}
     */
    public RtmpError send(AvcConfig config) {
        Objects.requireNonNull(config, "config");
        byte[] sps = first(config.sps());
        byte[] pps = first(config.pps());
        return RtmpError.of(send(video, null, addr -> {
            videoStage.put(0, sps);
            return TavrelExt.send_avc_config(addr, videoStage.put(sps.length, pps), 0, sps.length, sps.length,
                    pps.length);
        }));
    }

    private static byte[] first(List<byte[]> sets) {
        return sets.get(0);
    }

    /**
     * Sends one H.264 access unit at its times.
     *
     * @param frame the access unit
     * @return the outcome; {@link RtmpError#RECONNECTING} while a reconnection or close runs
     * @throws NullPointerException when frame is null
     * @throws IllegalStateException after {@link #close}
     */
    public RtmpError send(AvcFrame frame) {
        ByteBuffer data = Objects.requireNonNull(frame, "frame").data();
        int n = data.remaining();
        if (n > MAX_MESSAGE_BODY) {
            return RtmpError.BUFF_TOO_LARGE;
        }
        return RtmpError.of(send(video, null, addr -> TavrelExt.send_avc_frame(addr, videoStage.put(0, data), 0, n,
                frame.dtsMs(), frame.ptsMs(), frame.keyFrame())));
    }

    // ---- the server's side -------------------------------------------------------------------------------------

    /**
     * Reads what the server has sent without waiting: pings are answered and acknowledgements counted. Every send
     * does the same first; call it when no media flows for a while, so that the server is not left unanswered.
     *
     * @return {@link RtmpError#OK}; {@link RtmpError#NEEDS_TO_RECONNECT} once the server has ended the publish or
     *     closed the connection; {@link RtmpError#RECONNECTING} while a reconnection or close runs
     * @throws IllegalStateException after {@link #close}
     */
    public RtmpError poll() {
        return RtmpError.of(send(null, null, TavrelExt::poll));
    }

    /**
     * Ends the publish gracefully and tells what the server took: unpublish and stream deletion, our side of the
     * connection shut, then the server read until it closes its side or the close timeout
     * ({@link Builder#closeTimeout}) passes. Waits for the sends in progress; later sends return
     * {@link RtmpError#NEEDS_TO_RECONNECT} until a full reconnection. Called again on the same connection it
     * reports the same outcome; without a connection, zeros and false.
     *
     * @return the figures of the connection once ended
     * @throws IllegalStateException after {@link #close}
     */
    public Delivery finish() {
        return read(audio, video, addr -> {
            int r = TavrelExt.finish(addr);
            if (r == RtmpError.OK.code()) {
                finishedInTime = addr;
            }
            return new Delivery(TavrelExt.bytes_written(addr), TavrelExt.bytes_acked(addr), finishedInTime == addr);
        }, new Delivery(0, 0, false));
    }

    /** Bytes of chunk stream the live connection has written (a new one counts from 0); 0 without one. */
    public long bytesWritten() {
        return read(TavrelExt::bytes_written, 0L);
    }

    /** Bytes of the live connection the server has acknowledged, as last read; 0 without a connection. */
    public long bytesAcked() {
        return read(TavrelExt::bytes_acked, 0L);
    }

    // ---- state -------------------------------------------------------------------------------------------------

    private <T> T read(LongFunction<T> read, T withoutConnection) {
        return read(null, null, read, withoutConnection);
    }

    /**
     * A read under the shared lock; a read of what the sends of the given streams change takes their locks too,
     * after the shared lock (as {@link #streams}).
     */
    private <T> T read(Lock first, Lock second, LongFunction<T> read, T withoutConnection) {
        lock.readLock().lock();
        try {
            ensureOpen(closed);
            return streams(first, second, () -> onHandle(read, withoutConnection));
        } finally {
            lock.readLock().unlock();
        }
    }

    /** The stored state; it reads CONNECTED after a lost connection until a send fails or a reconnection runs. */
    public ConnectionState state() {
        return read(addr -> ConnectionState.of(Tavrel.get_connection_state(addr)), ConnectionState.DISCONNECTED);
    }

    /** True when the stored state is CONNECTED and the connection has not timed out. */
    public boolean canSend() {
        return read(Tavrel::can_send, false);
    }

    /** The URL of the live connection, as the native side keeps it. */
    public String url() {
        return read(Tavrel::get_uri, settings.url());
    }

    /** The audio packet's body capacity in bytes (it grows with larger frames); 0 without a connection. */
    public long audioCapacity() {
        return read(audio, null, Tavrel::get_a_body_max_len, 0L);
    }

    /** The video packet's body capacity in bytes; 0 without a connection. */
    public long videoCapacity() {
        return read(video, null, Tavrel::get_v_body_max_len, 0L);
    }

    /** Whether the live connection sends FLV tags (FLV-write mode), as the native side keeps it. */
    public boolean isFlvWrite() {
        return read(Tavrel::get_use_rtmp_write, settings.flvWrite());
    }

    /**
     * Whether the live connection passes librtmp's queue flag, as the native side keeps it.
     *
     * @return the flag
     */
    public boolean isQueue() {
        return read(Tavrel::get_is_rtmp_queue, settings.queue());
    }

    /**
     * Whether every audio message is traced, as the native side keeps it.
     *
     * @return the flag
     */
    public boolean isLogAudio() {
        return read(Tavrel::get_is_log_audio, settings.logAudio());
    }

    /**
     * Whether every video message is traced, as the native side keeps it.
     *
     * @return the flag
     */
    public boolean isLogVideo() {
        return read(Tavrel::get_is_log_video, settings.logVideo());
    }

    // ---- reconnection and close ------------------------------------------------------------------------------

    /**
     * Publishes a new stream on the same connection (nothing is done while it is intact) and returns the state
     * it leaves: CONNECTED, or DISCONNECTED when the server did not take the new stream.
     */
    public ConnectionState reconnectStream() {
        lockExclusive();
        try {
            ensureOpen(closed);
            long addr = handle.addr;
            if (addr <= 0) {
                return ConnectionState.DISCONNECTED;
            }
            int r = Tavrel.reconnect_stream(addr);
            if (r == ConnectionState.RECONNECTING.code()) {
                return ConnectionState.RECONNECTING;
            }
            return ConnectionState.of(Tavrel.get_connection_state(addr));
        } finally {
            unlockExclusive();
        }
    }

    /**
     * Replaces the connection by a new one with the same settings (nothing is done while it is intact). CONNECTED:
     * the publisher uses the new connection from now on. DISCONNECTED: the old connection is gone and no new one
     * could be made; call again later.
     */
    public ConnectionState reconnectFull() {
        lockExclusive();
        try {
            ensureOpen(closed);
            long addr = handle.addr;
            if (addr <= 0) {
                long fresh = open(settings);
                if (fresh <= 0) {
                    return ConnectionState.DISCONNECTED;
                }
                configure(fresh);
                handle.addr = fresh;
                return ConnectionState.CONNECTED;
            }
            long r = Tavrel.reconnect_full(addr);
            if (r > 0) {
                if (r != addr) {
                    setPerConnection(r);
                }
                handle.addr = r;
                return ConnectionState.CONNECTED;
            }
            if (r == ConnectionState.RECONNECTING.code()) {
                return ConnectionState.RECONNECTING;
            }
            // The old context was released; its address must never be passed again.
            handle.addr = 0;
            return ConnectionState.DISCONNECTED;
        } finally {
            unlockExclusive();
        }
    }

    /**
     * A second, independent publisher with the same settings on a connection of its own.
     *
     * @return the new publisher
     * @throws PublisherException when it could not connect, with the reason
     * @throws IllegalStateException after {@link #close}
     */
    public Publisher reconnectClone() throws PublisherException {
        // The clone starts from the current packet capacities, which the sends change.
        long addr = read(audio, video, Tavrel::reconnect_clone, 0L);
        if (addr <= 0) {
            throw failure("could not publish a clone to ", settings);
        }
        Publisher clone = new Publisher(settings, addr);
        clone.setPerConnection(addr);
        return clone;
    }

    /** True once {@link #close} has begun. */
    public boolean isClosed() {
        return closing;
    }

    /**
     * Ends the connection as {@link #finish} does, unless done already or the connection is lost, and releases the
     * native context. Idempotent; waits for sends in progress, then at most the close timeout.
     */
    @Override
    public void close() {
        closing = true;
        lockExclusive();
        try {
            if (!closed) {
                closed = true;
                cleanable.clean();
            }
        } finally {
            unlockExclusive();
        }
    }

    private void lockExclusive() {
        exclusiveWanted.incrementAndGet();
        lock.writeLock().lock();
    }

    private void unlockExclusive() {
        lock.writeLock().unlock();
        exclusiveWanted.decrementAndGet();
    }

    private static void ensureOpen(boolean closed) {
        if (closed) {
            throw new IllegalStateException("publisher is closed");
        }
    }

    @Override
    public String toString() {
        return "Publisher[" + settings.url() + (closing ? ", closed" : "") + "]";
    }
}
