package tessora.streaming.session;

import java.time.Duration;
import java.util.ArrayDeque;
import java.util.EnumMap;
import java.util.Map;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.locks.Condition;
import java.util.concurrent.locks.ReentrantLock;

import tessora.streaming.media.AvcFrame;
import tessora.streaming.rtmpdump.Delivery;

/**
 * The queue between the capture threads and the sender thread, with the drop policy applied as frames are offered
 * and every count the statistics show. One lock guards it all and is held only for bookkeeping, never across a
 * send, so an offer waits at most for another thread's bookkeeping.
 */
final class SendQueue {
    /** What an entry carries. */
    enum Kind {
        AUDIO, VIDEO, AUDIO_CONFIG, VIDEO_CONFIG;

        boolean isMedia() {
            return this == AUDIO || this == VIDEO;
        }
    }

    /**
     * One queued item.
     *
     * @param kind what it is
     * @param item the record to send (AacFrame, AvcFrame, AacConfig, AvcConfig)
     * @param timeMs its media time (video: dts); for a configuration the newest media time when it was offered
     * @param bytes its payload bytes
     * @param keyFrame whether a video frame is a key frame
     */
    record Entry(Kind kind, Object item, long timeMs, int bytes, boolean keyFrame) {}

    /**
     * The drop policy's limits.
     *
     * @param nonReferenceMs queued media time from which non-reference video is dropped
     * @param toKeyFrameMs queued media time from which video is dropped up to the next key frame
     * @param capMs queued media time at which anything is dropped
     * @param capBytes queued bytes at which anything is dropped
     */
    record Limits(long nonReferenceMs, long toKeyFrameMs, long capMs, long capBytes) {}

    private static final long BITRATE_WINDOW_NANOS = TimeUnit.SECONDS.toNanos(1);

    private final ReentrantLock lock = new ReentrantLock();
    private final Condition ready = lock.newCondition();
    private final ArrayDeque<Entry> entries = new ArrayDeque<>();
    private final Limits limits;
    private long bytes;
    private long newestMs;
    private boolean skippingVideo; // offered video is dropped up to the next key frame
    private boolean refusing;

    private final long[] sentFrames = new long[2]; // by Kind ordinal: AUDIO, VIDEO
    private final long[] sentBytes = new long[2];
    private final Map<DropReason, Long> videoDrops = new EnumMap<>(DropReason.class);
    private final Map<DropReason, Long> audioDrops = new EnumMap<>(DropReason.class);
    private long windowStart = System.nanoTime();
    private long windowBytes;
    private long lastWindowBitrate;
    private long lastWindowEnd;
    private int reconnections;
    private long connectedNanos;
    private long connectedSince = -1;
    private String lastError;
    private long bytesWritten;
    private long bytesAcknowledged;
    private Delivery lastDelivery;
    private EndReason endReason;
    private SessionState state = SessionState.CONNECTING;

    SendQueue(Limits limits) {
        this.limits = limits;
    }

    // ---- capture side ---------------------------------------------------------------------------------------

    /** Queues the entry unless the policy drops it (counted); true when queued. */
    boolean offer(Entry e) {
        lock.lock();
        try {
            DropReason r = refusing ? DropReason.SESSION_ENDED : verdict(e);
            if (r != null) {
                countDrop(e, r);
                return false;
            }
            entries.addLast(e);
            bytes += e.bytes();
            if (e.kind().isMedia()) {
                newestMs = Math.max(newestMs, e.timeMs());
            }
            ready.signal();
            return true;
        } finally {
            lock.unlock();
        }
    }

    /** The newest media time offered so far, the time a configuration is queued at. */
    long newestMs() {
        lock.lock();
        try {
            return newestMs;
        } finally {
            lock.unlock();
        }
    }

    /** Why the entry must be left out, or null to queue it. Only the tail is ever cut, never queued frames. */
    private DropReason verdict(Entry e) {
        if (!e.kind().isMedia()) {
            return null;
        }
        long queued = queuedMs(e.timeMs());
        boolean full = queued >= limits.capMs() || bytes + e.bytes() > limits.capBytes();
        if (e.kind() == Kind.AUDIO) {
            return full ? DropReason.QUEUE_FULL : null;
        }
        if (full) {
            // Whatever refers to this frame must go too.
            skippingVideo = true;
            return DropReason.QUEUE_FULL;
        }
        if (skippingVideo && !e.keyFrame()) {
            return DropReason.CONGESTION;
        }
        skippingVideo = false;
        if (queued >= limits.toKeyFrameMs() && !e.keyFrame()) {
            skippingVideo = true;
            return DropReason.CONGESTION;
        }
        if (queued >= limits.nonReferenceMs() && !((AvcFrame) e.item()).referenced()) {
            return DropReason.NON_REFERENCE;
        }
        return null;
    }

    /** Media time from the oldest queued entry to one at timeMs; 0 for an empty queue. */
    private long queuedMs(long timeMs) {
        Entry head = entries.peekFirst();
        return head == null ? 0 : Math.max(0, timeMs - head.timeMs());
    }

    // ---- sender side ----------------------------------------------------------------------------------------

    /** The oldest entry, waiting at most wait for one; null when none came. */
    Entry take(Duration wait) throws InterruptedException {
        lock.lock();
        try {
            if (entries.isEmpty()) {
                ready.await(wait.toNanos(), TimeUnit.NANOSECONDS);
            }
            Entry e = entries.pollFirst();
            if (e != null) {
                bytes -= e.bytes();
            }
            return e;
        } finally {
            lock.unlock();
        }
    }

    /** Puts an entry that could not be sent back at the head, to go first on the next connection. */
    void putBack(Entry e) {
        lock.lock();
        try {
            entries.addFirst(e);
            bytes += e.bytes();
        } finally {
            lock.unlock();
        }
    }

    boolean isEmpty() {
        lock.lock();
        try {
            return entries.isEmpty();
        } finally {
            lock.unlock();
        }
    }

    /** Wakes a sender waiting in {@link #take}. */
    void wake() {
        lock.lock();
        try {
            ready.signalAll();
        } finally {
            lock.unlock();
        }
    }

    void sent(Entry e) {
        lock.lock();
        try {
            if (e.kind().isMedia()) {
                sentFrames[e.kind().ordinal()]++;
                sentBytes[e.kind().ordinal()] += e.bytes();
            }
            long now = System.nanoTime();
            rollWindow(now);
            windowBytes += e.bytes();
        } finally {
            lock.unlock();
        }
    }

    private void rollWindow(long now) {
        long elapsed = now - windowStart;
        if (elapsed >= BITRATE_WINDOW_NANOS) {
            lastWindowBitrate = (long) (windowBytes * 8e9 / elapsed);
            lastWindowEnd = now;
            windowStart = now;
            windowBytes = 0;
        }
    }

    void dropped(Entry e, DropReason r) {
        lock.lock();
        try {
            countDrop(e, r);
        } finally {
            lock.unlock();
        }
    }

    private void countDrop(Entry e, DropReason r) {
        if (e.kind().isMedia()) {
            (e.kind() == Kind.VIDEO ? videoDrops : audioDrops).merge(r, 1L, Long::sum);
        }
    }

    /** Refuses every later offer (counted as {@link DropReason#SESSION_ENDED}). */
    void refuse() {
        lock.lock();
        try {
            refusing = true;
        } finally {
            lock.unlock();
        }
    }

    /** Ends the queue: later offers are refused and whatever is still queued is counted as left out. */
    void end(EndReason reason, String message) {
        lock.lock();
        try {
            if (state == SessionState.ENDED) {
                return;
            }
            refusing = true;
            for (Entry e : entries) {
                countDrop(e, DropReason.SESSION_ENDED);
            }
            entries.clear();
            bytes = 0;
            endReason = reason;
            if (message != null) {
                lastError = message;
            }
            leave(SessionState.ENDED);
            ready.signalAll();
        } finally {
            lock.unlock();
        }
    }

    // ---- connection bookkeeping -----------------------------------------------------------------------------

    /** The state changes; time connected is counted from a CONNECTED to the next change. */
    void state(SessionState next, boolean isReconnection) {
        lock.lock();
        try {
            leave(next);
            if (next == SessionState.CONNECTED) {
                connectedSince = System.nanoTime();
                if (isReconnection) {
                    reconnections++;
                }
            }
        } finally {
            lock.unlock();
        }
    }

    private void leave(SessionState next) {
        if (connectedSince >= 0) {
            connectedNanos += System.nanoTime() - connectedSince;
            connectedSince = -1;
        }
        state = next;
    }

    void error(String message) {
        locked(() -> lastError = message);
    }

    /** The connections' figures so far, all connections together. */
    void delivery(long written, long acknowledged) {
        locked(() -> {
            bytesWritten = written;
            bytesAcknowledged = acknowledged;
        });
    }

    /** How the graceful end of the last connection went. */
    void finished(Delivery d) {
        locked(() -> lastDelivery = d);
    }

    /** A bookkeeping change that needs no more than the lock. */
    private void locked(Runnable change) {
        lock.lock();
        try {
            change.run();
        } finally {
            lock.unlock();
        }
    }

    SessionState state() {
        lock.lock();
        try {
            return state;
        } finally {
            lock.unlock();
        }
    }

    SessionStats snapshot() {
        lock.lock();
        try {
            long now = System.nanoTime();
            rollWindow(now);
            long connected = connectedNanos + (connectedSince >= 0 ? now - connectedSince : 0);
            long sent = sentBytes[0] + sentBytes[1];
            long average = connected > 0 ? (long) (sent * 8e9 / connected) : 0;
            // A rate is current for the second after its window closed.
            long current = now - lastWindowEnd <= 2 * BITRATE_WINDOW_NANOS ? lastWindowBitrate : 0;
            Entry head = entries.peekFirst();
            long queued = head == null ? 0 : Math.max(0, newestMs - head.timeMs());
            return new SessionStats(state, endReason, sentFrames[1], sentBytes[1], sentFrames[0], sentBytes[0],
                    videoDrops, audioDrops, current, average, queued, bytes, entries.size(), reconnections,
                    Duration.ofNanos(connected), lastError, bytesWritten, bytesAcknowledged, lastDelivery);
        } finally {
            lock.unlock();
        }
    }
}
