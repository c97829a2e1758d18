/**
 * Media readers: MP4, FLV and raw H.264 / ADTS AAC files read lazily into the typed records of
 * {@code tessora.streaming.media}, for publishing. Start at {@link tessora.streaming.media.reader.MediaReader}.
 */
package tessora.streaming.media.reader;
