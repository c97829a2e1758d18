package tessora.streaming.media.reader;

/**
 * One MP4 sample as the tables or a fragment describe it, before the track's shifts are applied.
 *
 * @param decode decoding time in the track's timescale, from the track's media timeline
 * @param composition composition offset (may be negative)
 * @param duration ticks until the next sample
 * @param keyFrame a sync sample
 * @param offset file offset of the sample's bytes
 * @param size bytes of the sample, at least one
 */
record Mp4Entry(long decode, long composition, long duration, boolean keyFrame, long offset, long size) {}
