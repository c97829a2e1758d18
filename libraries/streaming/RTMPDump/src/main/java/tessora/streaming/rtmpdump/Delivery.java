package tessora.streaming.rtmpdump;

/**
 * What a publish handed to the connection and what the server said it read, as {@link Publisher#finish} leaves
 * them. A server acknowledges each time it has read its acknowledgement window, so the acknowledged figure trails
 * by up to that window; it reaches the bytes written only when the window is smaller than what the server reads at
 * a time (nginx {@code ack_window 1}).
 *
 * @param bytesWritten bytes of chunk stream written to the connection
 * @param bytesAcked bytes the server has acknowledged
 * @param serverClosedInTime whether the server closed its side within the close timeout, having read everything
 *     before it
 */
public record Delivery(long bytesWritten, long bytesAcked, boolean serverClosedInTime) {
    /**
     * Whether the server acknowledged every byte written and then closed its side: nothing of the publish was lost
     * on the way.
     *
     * @return true when nothing is unacknowledged
     */
    public boolean fullyAcknowledged() {
        return serverClosedInTime && bytesWritten > 0 && bytesAcked >= bytesWritten;
    }
}
