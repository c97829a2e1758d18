package tessora.streaming.rtmpdump;

import java.lang.ref.Cleaner;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.concurrent.locks.Lock;
import java.util.concurrent.locks.ReentrantLock;
import java.util.concurrent.locks.ReentrantReadWriteLock;
import java.util.function.LongFunction;
import java.util.function.LongToIntFunction;
import java.util.function.Supplier;
import java.util.logging.Logger;

/**
 * One publishing connection to an RTMP server: a safe layer over {@link Tavrel}'s handle.
 *
 * <pre>{@code
 * try (Publisher p = Publisher.to("rtmp://host/live/stream").credentials("user", "secret").connect()) {
 *     p.sendMetadata(new Metadata(1280, 720, 3000, 30, 128, 44100, 16, 2));
 *     p.sendAacHeader(header);          // then frames, from an audio and a video thread
 *     RtmpError e = p.sendH264(nalus);
 *     if (e == RtmpError.NEEDS_TO_RECONNECT) p.reconnectFull();
 * }
 * }</pre>
 *
 * <p>Threads: any number of threads may call; audio sends are serialised among themselves, video sends among
 * themselves, and one audio and one video send run at the same time, as the native side allows. Reconnections and
 * {@link #close} exclude every other call; a send that finds one running or waiting returns
 * {@link RtmpError#RECONNECTING} at once instead of waiting, while state queries wait for it to end. A close waits
 * for the sends in progress (one blocked on a server that stopped reading holds it until the socket gives up).
 *
 * <p>Handles: the native handle never leaves this object. After a full reconnection the replaced handle is
 * forgotten under the exclusive lock, so it cannot reach native code again; after {@link #close} every method but
 * {@code close} throws {@link IllegalStateException}. A full reconnection that fails leaves the publisher without
 * a connection (sends return {@link RtmpError#NEEDS_TO_RECONNECT}) until a later {@link #reconnectFull} connects
 * anew with the same settings. A publisher dropped without {@code close} is closed by a {@link Cleaner}.
 *
 * <p>Record arguments ({@code AACHeader}, {@code AACData}, {@code NALUS}, {@code NALUPayload}) are addresses of
 * live native records made by the media helpers; the caller keeps them alive for the call.
 */
public final class Publisher implements AutoCloseable {
    private static final Cleaner CLEANER = Cleaner.create();

    /** What a publisher is made with. The password is not shown by {@link #toString}. */
    public record Settings(String url, String username, String password, boolean flvWrite, boolean queue,
            boolean logAudio, boolean logVideo, int maxAudioFrame, int maxVideoFrame, Logger logger) {
        public Settings {
            if (url == null) {
                throw new IllegalArgumentException("url is null");
            }
            if (maxAudioFrame < 0 || maxVideoFrame < 0) {
                throw new IllegalArgumentException("negative frame size");
            }
        }

        @Override
        public String toString() {
            return "Settings[url=" + url + ", username=" + username + ", password=" + (password == null ? null : "***")
                    + ", flvWrite=" + flvWrite + ", queue=" + queue + ", logAudio=" + logAudio + ", logVideo="
                    + logVideo + ", maxAudioFrame=" + maxAudioFrame + ", maxVideoFrame=" + maxVideoFrame + "]";
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
        private Logger logger;

        private Builder(String url) {
            this.url = url;
        }

        /** Publisher credentials for servers that authenticate (adobe, llnw); null for none. */
        public Builder credentials(String username, String password) {
            this.username = username;
            this.password = password;
            return this;
        }

        /** Media goes out as FLV tags through the FLV stream writer instead of as RTMP packets. */
        public Builder flvWrite(boolean on) {
            this.flvWrite = on;
            return this;
        }

        /** The queue flag librtmp's packet sender gets (packet mode). */
        public Builder queue(boolean on) {
            this.queue = on;
            return this;
        }

        /** Trace every audio / video message at level FINEST. */
        public Builder trace(boolean audio, boolean video) {
            this.logAudio = audio;
            this.logVideo = video;
            return this;
        }

        /** The largest AAC frame and H.264 access unit expected, in bytes; the packets start this large. */
        public Builder maxFrames(int audioBytes, int videoBytes) {
            this.maxAudioFrame = audioBytes;
            this.maxVideoFrame = videoBytes;
            return this;
        }

        /** Where the native side logs this connection's messages. */
        public Builder logger(Logger logger) {
            this.logger = logger;
            return this;
        }

        public Settings settings() {
            return new Settings(url, username, password, flvWrite, queue, logAudio, logVideo, maxAudioFrame,
                    maxVideoFrame, logger);
        }

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
    private volatile boolean closing;
    private boolean closed; // under the exclusive lock

    private Publisher(Settings settings, long addr) {
        this.settings = settings;
        this.handle = new Handle(addr);
        this.cleanable = CLEANER.register(this, handle);
    }

    public static Builder to(String url) {
        return new Builder(url);
    }

    /** Connects and publishes; throws when the server could not be reached or did not accept the stream. */
    public static Publisher connect(Settings settings) throws PublisherException {
        long addr = open(settings);
        if (addr <= 0) {
            throw new PublisherException("could not publish to " + settings.url());
        }
        return new Publisher(settings, addr);
    }

    private static long open(Settings s) {
        return Tavrel.connect(s.url(), s.username(), s.password(), s.flvWrite(), s.queue(), s.logAudio(),
                s.logVideo(), s.maxAudioFrame(), s.maxVideoFrame(), s.logger());
    }

    /** Connects and publishes without credentials, then closes: tells why a {@link #connect} would fail. */
    public static ConnectCheck testConnect(String url) {
        return ConnectCheck.of(Tavrel.test_connect(url));
    }

    /** The process-wide logger for librtmp's own messages; null for none. */
    public static void setGlobalLogger(Logger logger) {
        Tavrel.set_global_logger(logger);
    }

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
     */
    public RtmpError sendMetadata(Metadata m) {
        int r = send(audio, video, addr -> Tavrel.send_metadata(addr, m.width(), m.height(), m.videoBitrate(),
                m.frameRate(), m.audioBitrate(), m.sampleRate(), m.sampleSizeBits(), m.channels()));
        // Our own codes (no connection, reconnecting) come back in RTMPERR form.
        return r < 0 ? RtmpError.of(r) : RtmpError.ofMetadataResult(r);
    }

    /** Sends the AudioSpecificConfig of an {@code AACHeader} record as the AAC sequence header. */
    public RtmpError sendAacHeader(long aacHeader) {
        return RtmpError.of(send(audio, null, addr -> Tavrel.send_aac_header(addr, aacHeader)));
    }

    /** Sends the AAC frame of an {@code AACData} record with its time in milliseconds since the stream began. */
    public RtmpError sendAacData(long aacData, long elapsedMs) {
        return RtmpError.of(send(audio, null, addr -> Tavrel.send_aac_data(addr, aacData, elapsedMs)));
    }

    /** Sends the AVC sequence header made of the SPS and PPS in a {@code NALUS} record. */
    public RtmpError sendVideoHeader(long nalus) {
        return RtmpError.of(send(video, null, addr -> Tavrel.send_video_header(addr, nalus)));
    }

    /** Sends one access unit given as a {@code NALUS} record. */
    public RtmpError sendH264(long nalus) {
        return RtmpError.of(send(video, null, addr -> Tavrel.send_h264_nals(addr, nalus)));
    }

    /** Sends one access unit given as a {@code NALUPayload} record. */
    public RtmpError sendH264Payload(long payload) {
        return RtmpError.of(send(video, null, addr -> Tavrel.send_h264_nalu_payload(addr, payload)));
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

    public boolean isQueue() {
        return read(Tavrel::get_is_rtmp_queue, settings.queue());
    }

    public boolean isLogAudio() {
        return read(Tavrel::get_is_log_audio, settings.logAudio());
    }

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
                handle.addr = Math.max(open(settings), 0);
                return handle.addr > 0 ? ConnectionState.CONNECTED : ConnectionState.DISCONNECTED;
            }
            long r = Tavrel.reconnect_full(addr);
            if (r > 0) {
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

    /** A second, independent publisher with the same settings on a connection of its own. */
    public Publisher reconnectClone() throws PublisherException {
        // The clone starts from the current packet capacities, which the sends change.
        long addr = read(audio, video, Tavrel::reconnect_clone, 0L);
        if (addr <= 0) {
            throw new PublisherException("could not publish a clone to " + settings.url());
        }
        return new Publisher(settings, addr);
    }

    /** True once {@link #close} has begun. */
    public boolean isClosed() {
        return closing;
    }

    /** Ends the connection and releases the native context. Idempotent; waits for sends in progress. */
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
