package tessora.streaming.session;

/** Why a {@link Session} left a frame out. Timestamps of the frames sent are never changed by a drop. */
public enum DropReason {
    /** Video with nal_ref_idc 0, offered while the queue held more than the first threshold of media time. */
    NON_REFERENCE,
    /**
     * Video offered while the queue held more than the second threshold of media time, and every video frame after
     * it up to the next key frame.
     */
    CONGESTION,
    /** The queue was at its hard cap (media time or bytes): the only reason audio is dropped while connected. */
    QUEUE_FULL,
    /** Video between a new connection and its first key frame, and a video frame lost with a connection. */
    RECONNECTION,
    /** The publisher refused the frame itself (too large, bad times); logged. */
    REJECTED,
    /** Still queued when the session ended, or offered after it began to close. */
    SESSION_ENDED
}
