package tessora.streaming.session;

import java.time.Duration;
import java.util.Map;

import tessora.streaming.rtmpdump.Delivery;

/**
 * What a {@link Session} has done so far: an immutable snapshot, taken by {@link Session#stats()} at any time.
 * Bytes are those of the media payloads (access units with their length prefixes, raw AAC frames), not of the RTMP
 * framing around them.
 *
 * @param state the state when the snapshot was taken
 * @param endReason why the session ended; null before it has
 * @param videoFramesSent video frames the server has taken
 * @param videoBytesSent their bytes
 * @param audioFramesSent audio frames the server has taken
 * @param audioBytesSent their bytes
 * @param videoDrops video frames left out, per reason (reasons without drops are absent)
 * @param audioDrops audio frames left out, per reason
 * @param currentBitrate bits per second sent over the last whole second, 0 when nothing went out in it
 * @param averageBitrate bits per second sent over the time connected
 * @param queuedMs media time waiting in the queue: the newest queued frame's time minus the oldest's
 * @param queuedBytes bytes waiting in the queue
 * @param queuedFrames frames waiting in the queue
 * @param reconnections connections made after a lost one
 * @param timeConnected time spent connected, all connections together
 * @param lastError the last failure seen (a connect, a send), or null
 * @param bytesWritten bytes of RTMP chunk stream written to the connections, framing included, all connections
 *     together
 * @param bytesAcknowledged of those, the bytes the servers acknowledged; it trails by up to the server's
 *     acknowledgement window
 * @param lastDelivery the last connection's figures as the graceful end of {@link Session#close} left them; null
 *     until then, and when the session ended without a connection to end
 */
public record SessionStats(SessionState state, EndReason endReason, long videoFramesSent, long videoBytesSent,
        long audioFramesSent, long audioBytesSent, Map<DropReason, Long> videoDrops,
        Map<DropReason, Long> audioDrops, long currentBitrate, long averageBitrate, long queuedMs, long queuedBytes,
        int queuedFrames, int reconnections, Duration timeConnected, String lastError, long bytesWritten,
        long bytesAcknowledged, Delivery lastDelivery) {
    /** Keeps unmodifiable copies of the maps. */
    public SessionStats {
        videoDrops = Map.copyOf(videoDrops);
        audioDrops = Map.copyOf(audioDrops);
    }

    /**
     * Video frames left out, all reasons together.
     *
     * @return the count
     */
    public long videoDropped() {
        return total(videoDrops);
    }

    /**
     * Audio frames left out, all reasons together.
     *
     * @return the count
     */
    public long audioDropped() {
        return total(audioDrops);
    }

    /**
     * Video frames left out for one reason.
     *
     * @param reason the reason
     * @return the count
     */
    public long videoDropped(DropReason reason) {
        return videoDrops.getOrDefault(reason, 0L);
    }

    /**
     * Audio frames left out for one reason.
     *
     * @param reason the reason
     * @return the count
     */
    public long audioDropped(DropReason reason) {
        return audioDrops.getOrDefault(reason, 0L);
    }

    /**
     * Media bytes sent, both streams.
     *
     * @return the bytes
     */
    public long bytesSent() {
        return videoBytesSent + audioBytesSent;
    }

    /**
     * Whether the session was closed gracefully and the server acknowledged every byte of the last connection.
     *
     * @return true when the last connection lost nothing on the way
     */
    public boolean fullyAcknowledged() {
        return lastDelivery != null && lastDelivery.fullyAcknowledged();
    }

    private static long total(Map<DropReason, Long> drops) {
        return drops.values().stream().mapToLong(Long::longValue).sum();
    }
}
