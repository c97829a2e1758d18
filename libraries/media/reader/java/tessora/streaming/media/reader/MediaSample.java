package tessora.streaming.media.reader;

import java.nio.ByteBuffer;

import tessora.streaming.media.AacFrame;
import tessora.streaming.media.AvcFrame;

/**
 * One frame of a media file, as {@link MediaReader} gives them in decoding order.
 *
 * <p>Times come twice. {@code dts} and {@code pts} are in the track's timescale ({@link MediaInfo#videoTimescale()}
 * or {@link MediaInfo#audioTimescale()}) as the file states them, edit list applied: what {@code ffprobe
 * -show_packets} prints for the file. {@code dtsMs} and {@code ptsMs} are milliseconds on one clock for both tracks:
 * each time is converted to milliseconds (rounded to the nearest, halves away from zero) and the converted decoding
 * time of the file's first sample is subtracted, so the first sample in decoding order has {@code dtsMs} 0 and no
 * time is negative. These are the times FFmpeg writes when it remuxes the file into FLV ({@code ffmpeg -i FILE -c
 * copy out.flv}) for files whose first decoding time is not positive, as FFmpeg makes them.
 *
 * @param kind the track the sample belongs to
 * @param dts decoding time in the track's timescale
 * @param pts presentation time in the track's timescale
 * @param dtsMs decoding time in milliseconds from the start of the file
 * @param ptsMs presentation time in milliseconds from the start of the file
 * @param keyFrame whether decoding can start here (an IDR picture; every AAC frame)
 * @param data for video an H.264 access unit whose NAL units each stand behind a 4-byte big-endian length, for
 *     audio one raw AAC frame (no ADTS header); never empty, a read-only view
 */
public record MediaSample(Kind kind, long dts, long pts, long dtsMs, long ptsMs, boolean keyFrame, ByteBuffer data) {
    /** The track a sample belongs to. */
    public enum Kind {
        /** An H.264 access unit. */
        VIDEO,
        /** A raw AAC frame. */
        AUDIO
    }

    /** Keeps a read-only view of the bytes. */
    public MediaSample {
        data = data.slice().asReadOnlyBuffer();
    }

    /** The sample's size in bytes: ffprobe's packet size, for files with 4-byte NAL unit lengths as FFmpeg makes. */
    public int size() {
        return data.remaining();
    }

    /** A read-only view of the bytes, positioned at their start. */
    @Override
    public ByteBuffer data() {
        return data.duplicate();
    }

    /**
     * The sample as the publisher's video frame (the bytes are shared, not copied).
     *
     * @throws IllegalStateException for an audio sample
     */
    public AvcFrame toAvcFrame() {
        if (kind != Kind.VIDEO) {
            throw new IllegalStateException("an audio sample is not an AVC frame");
        }
        return new AvcFrame(data, dtsMs, ptsMs, keyFrame);
    }

    /**
     * The sample as the publisher's audio frame (the bytes are shared, not copied).
     *
     * @throws IllegalStateException for a video sample
     */
    public AacFrame toAacFrame() {
        if (kind != Kind.AUDIO) {
            throw new IllegalStateException("a video sample is not an AAC frame");
        }
        return new AacFrame(data, ptsMs);
    }
}
