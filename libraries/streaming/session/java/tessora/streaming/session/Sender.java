package tessora.streaming.session;

import java.time.Duration;
import java.util.Random;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.TimeUnit;
import java.util.logging.Level;
import java.util.logging.Logger;

import tessora.streaming.media.AacConfig;
import tessora.streaming.media.AacFrame;
import tessora.streaming.media.AvcConfig;
import tessora.streaming.media.AvcFrame;
import tessora.streaming.rtmpdump.Delivery;
import tessora.streaming.rtmpdump.Metadata;
import tessora.streaming.rtmpdump.Publisher;
import tessora.streaming.rtmpdump.PublisherException;
import tessora.streaming.rtmpdump.RtmpError;
import tessora.streaming.session.SendQueue.Entry;
import tessora.streaming.session.SendQueue.Kind;

/**
 * The session's sender thread: owns the publisher, drains the queue into it, and connects again by itself when the
 * connection is lost. Every field without a modifier saying otherwise belongs to this thread alone.
 */
final class Sender implements Runnable {
    private static final Logger LOG = Logger.getLogger(Session.LOGGER_NAME);
    /** How long the thread waits for a frame before it looks at the connection and at close requests. */
    private static final Duration IDLE_WAIT = Duration.ofMillis(100);
    /** How often the delivery figures are read while media flows. */
    private static final long FIGURES_EVERY_NANOS = IDLE_WAIT.toNanos();

    private final Publisher.Settings settings;
    private final Metadata metadata;
    private final RetryPolicy retry;
    private final SessionListener listener;
    private final SendQueue queue;
    private final Random random = new Random();
    private final CountDownLatch closeRequested = new CountDownLatch(1);
    private volatile long flushUntil;

    private Publisher publisher;
    private AacConfig aacConfig;
    private AvcConfig avcConfig;
    private boolean videoNeedsKeyFrame;
    private int connections;
    private long writtenBefore; // the delivery figures of the connections closed so far
    private long acknowledgedBefore;
    private long figuresRead;

    Sender(Publisher.Settings settings, Metadata metadata, AacConfig aac, AvcConfig avc, RetryPolicy retry,
            SessionListener listener, SendQueue queue) {
        this.settings = settings;
        this.metadata = metadata;
        this.aacConfig = aac;
        this.avcConfig = avc;
        this.retry = retry;
        this.listener = listener;
        this.queue = queue;
    }

    /** Asks the thread to end once the queue is sent, or once flush has passed, whichever comes first. */
    void requestClose(Duration flush) {
        flushUntil = System.nanoTime() + flush.toNanos();
        closeRequested.countDown();
        queue.refuse();
        queue.wake();
    }

    @Override
    public void run() {
        SessionEvent.Ended end;
        try {
            end = work();
        } catch (InterruptedException e) {
            end = new SessionEvent.Ended(EndReason.CLOSED, "interrupted");
        } catch (RuntimeException | Error e) {
            LOG.log(Level.SEVERE, "session sender failed", e);
            end = new SessionEvent.Ended(EndReason.INTERNAL_ERROR, e.toString());
        }
        if (end.reason() == EndReason.CLOSED && publisher != null) {
            Delivery d = publisher.finish();
            LOG.fine(() -> "session: ended with " + d);
            queue.finished(d);
        }
        closePublisher();
        queue.end(end.reason(), end.message());
        emit(end);
    }

    private SessionEvent.Ended work() throws InterruptedException {
        SessionEvent.Ended end = connect(false, null);
        while (end == null) {
            Entry e = queue.take(IDLE_WAIT);
            if (closing() && (e == null || pastFlush())) {
                if (e != null) {
                    queue.putBack(e); // counted as left out when the queue ends
                }
                return closed();
            }
            if (e == null) {
                end = pollServer();
                continue;
            }
            if (waitsForKeyFrame(e)) {
                queue.dropped(e, DropReason.RECONNECTION);
                continue;
            }
            RtmpError r = send(e);
            if (r == RtmpError.OK) {
                remember(e);
                queue.sent(e);
                if (System.nanoTime() - figuresRead >= FIGURES_EVERY_NANOS) {
                    readFigures();
                }
            } else if (isLost(r)) {
                lost(e);
                end = connect(true, "connection lost: " + r.meaning());
            } else {
                String what = e.kind() + " at " + e.timeMs() + " ms refused: " + r.meaning();
                LOG.warning(() -> "session: " + what);
                queue.error(what);
                queue.dropped(e, DropReason.REJECTED);
            }
        }
        return end;
    }

    /**
     * Reads what the server sent while no media flows (every send does it too): pings are answered, acknowledgements
     * counted, and a server that ended the publish or the connection is seen now rather than at the next frame.
     * Called whenever the queue has been idle for a moment; null, or how the session ends when it cannot connect
     * again.
     */
    private SessionEvent.Ended pollServer() throws InterruptedException {
        RtmpError r = publisher.poll();
        readFigures();
        if (!isLost(r)) {
            return null;
        }
        closePublisher();
        return connect(true, "connection lost: " + r.meaning());
    }

    /** The figures of the live connection on top of those of the connections before it, into the statistics. */
    private void readFigures() {
        figuresRead = System.nanoTime();
        queue.delivery(writtenBefore + publisher.bytesWritten(), acknowledgedBefore + publisher.bytesAcked());
    }

    private boolean closing() {
        return closeRequested.getCount() == 0;
    }

    private boolean pastFlush() {
        return System.nanoTime() - flushUntil >= 0;
    }

    private static SessionEvent.Ended closed() {
        return new SessionEvent.Ended(EndReason.CLOSED, null);
    }

    /** After a reconnection video starts again at a key frame: what came before it refers to frames not sent. */
    private boolean waitsForKeyFrame(Entry e) {
        if (e.kind() != Kind.VIDEO || !videoNeedsKeyFrame) {
            return false;
        }
        videoNeedsKeyFrame = !e.keyFrame();
        return videoNeedsKeyFrame;
    }

    private RtmpError send(Entry e) {
        return switch (e.kind()) {
            case AUDIO -> publisher.send((AacFrame) e.item());
            case VIDEO -> publisher.send((AvcFrame) e.item());
            case AUDIO_CONFIG -> publisher.send((AacConfig) e.item());
            case VIDEO_CONFIG -> publisher.send((AvcConfig) e.item());
        };
    }

    /** A configuration sent becomes the one every later connection starts with. */
    private void remember(Entry e) {
        if (e.kind() == Kind.AUDIO_CONFIG) {
            aacConfig = (AacConfig) e.item();
        } else if (e.kind() == Kind.VIDEO_CONFIG) {
            avcConfig = (AvcConfig) e.item();
        }
    }

    private static boolean isLost(RtmpError r) {
        return switch (r) {
            case NEEDS_TO_RECONNECT, UNKNOWN, DISCONNECTED, RECONNECTING, FAILED_TO_SEND, TIMEDOUT -> true;
            default -> false;
        };
    }

    /**
     * The entry in flight when the connection went: audio and configurations go first on the next connection, and
     * so does a key frame; other video is lost with the connection, as everything up to the next key frame will be.
     */
    private void lost(Entry e) {
        if (e.kind() == Kind.VIDEO && !e.keyFrame()) {
            queue.dropped(e, DropReason.RECONNECTION);
        } else {
            queue.putBack(e);
        }
        closePublisher();
    }

    /**
     * Connects until published, with the retry policy's delays; null once published, else how the session ends.
     * After a lost connection (reconnecting) the first attempt waits a delay too.
     */
    private SessionEvent.Ended connect(boolean reconnecting, String cause) throws InterruptedException {
        long since = System.nanoTime();
        int failed = 0;
        if (reconnecting) {
            queue.error(cause);
            if (pause(1, retry.delay(1, random), cause)) {
                return closed();
            }
        }
        while (!closing()) {
            queue.state(SessionState.CONNECTING, false);
            emit(new SessionEvent.Connecting(failed + 1));
            String failure;
            try {
                publisher = Publisher.connect(settings);
                RtmpError r = sendHeaders();
                if (r == RtmpError.OK) {
                    connections++;
                    videoNeedsKeyFrame = connections > 1;
                    queue.state(SessionState.CONNECTED, connections > 1);
                    emit(new SessionEvent.Connected(connections));
                    return null;
                }
                failure = "the headers were not sent: " + r.meaning();
                closePublisher();
            } catch (PublisherException e) {
                failure = e.getMessage();
                EndReason end = EndReason.withoutRetry(e.reason(), connections > 0);
                if (end != null) {
                    return new SessionEvent.Ended(end, failure);
                }
            }
            queue.error(failure);
            failed++;
            if (retry.exhausted(failed, Duration.ofNanos(System.nanoTime() - since))) {
                return new SessionEvent.Ended(EndReason.RETRY_LIMIT, failure);
            }
            if (pause(failed + 1, retry.delay(failed + (reconnecting ? 1 : 0), random), failure)) {
                return closed();
            }
        }
        return closed();
    }

    /** Waits delay before attempt; true when a close came meanwhile. */
    private boolean pause(int attempt, Duration delay, String cause) throws InterruptedException {
        queue.state(SessionState.RECONNECTING, false);
        emit(new SessionEvent.Reconnecting(attempt, delay, cause));
        return closeRequested.await(delay.toNanos(), TimeUnit.NANOSECONDS);
    }

    /**
     * What every connection starts with: the metadata and both sequence headers, as far as they are known. Video's
     * first, as FFmpeg sends them: a recording server numbers its streams in the order their headers came.
     */
    private RtmpError sendHeaders() {
        RtmpError r = metadata == null ? RtmpError.OK : publisher.sendMetadata(metadata);
        if (r == RtmpError.OK && avcConfig != null) {
            r = publisher.send(avcConfig);
        }
        if (r == RtmpError.OK && aacConfig != null) {
            r = publisher.send(aacConfig);
        }
        return r;
    }

    /** Closes the connection; its figures, as they stand before it goes, join those of the ones before it. */
    private void closePublisher() {
        if (publisher != null) {
            writtenBefore += publisher.bytesWritten();
            acknowledgedBefore += publisher.bytesAcked();
            queue.delivery(writtenBefore, acknowledgedBefore);
            publisher.close();
            publisher = null;
        }
    }

    private void emit(SessionEvent event) {
        LOG.fine(() -> "session: " + event);
        try {
            listener.onEvent(event);
        } catch (RuntimeException e) {
            LOG.log(Level.WARNING, "session listener failed on " + event, e);
        }
    }
}
