package tessora.streaming.media.reader;

import tessora.streaming.rtmpdump.Metadata;

/**
 * What a media file holds, as far as its headers tell; 0 where the file does not say (a raw stream has no size or
 * bit rate, a file without audio no sample rate).
 *
 * @param format the container
 * @param width picture width in pixels
 * @param height picture height in pixels
 * @param frameRate video frames per second, on average
 * @param videoBitrate video bits per second, on average
 * @param audioBitrate audio bits per second, on average
 * @param sampleRate audio samples per second
 * @param channels audio channels
 * @param durationMs the file's duration in milliseconds
 * @param videoTimescale ticks per second of the video samples' {@code dts} and {@code pts}; 0 without video
 * @param audioTimescale ticks per second of the audio samples' {@code dts} and {@code pts}; 0 without audio
 */
public record MediaInfo(Format format, int width, int height, double frameRate, long videoBitrate,
        long audioBitrate, int sampleRate, int channels, long durationMs, long videoTimescale, long audioTimescale) {
    /** The kinds of file the readers take. */
    public enum Format {
        /** ISO base media file (MP4), with its samples in the movie box's tables. */
        MP4,
        /** ISO base media file whose samples come in movie fragments. */
        FRAGMENTED_MP4,
        /** FLV. */
        FLV,
        /** A raw H.264 Annex B stream and/or an ADTS AAC stream. */
        RAW
    }

    /** Whether the file has a video track. */
    public boolean hasVideo() {
        return videoTimescale > 0;
    }

    /** Whether the file has an audio track. */
    public boolean hasAudio() {
        return audioTimescale > 0;
    }

    /** The stream's onMetaData: bit rates in kbit/s, the frame rate rounded, 16-bit samples when there is audio. */
    public Metadata metadata() {
        return new Metadata(width, height, (int) Math.round(videoBitrate / 1000.0), (int) Math.round(frameRate),
                (int) Math.round(audioBitrate / 1000.0), sampleRate, hasAudio() ? 16 : 0, channels);
    }
}
