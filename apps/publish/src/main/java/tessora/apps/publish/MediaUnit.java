package tessora.apps.publish;

/**
 * One unit of a media file in sending order: a sequence header or a frame. Times are milliseconds from the start
 * of the stream; for audio and sequence headers pts equals dts. Video frame bytes are AVCC (4-byte lengths), as
 * FLV and MP4 carry them, or Annex B from a raw .h264 file; video sequence headers are the SPS and PPS as AVCC
 * units; audio bytes are a raw AAC frame or the AudioSpecificConfig (ADTS frames from a raw .aac file are
 * stripped of their header when sent).
 */
public record MediaUnit(Kind kind, long dtsMs, long ptsMs, boolean keyframe, byte[] bytes, Form form) {
    /** What a unit is. */
    public enum Kind {
        /** The AAC sequence header. */
        AUDIO_CONFIG,
        /** An AAC frame. */
        AUDIO_FRAME,
        /** The AVC sequence header. */
        VIDEO_CONFIG,
        /** An H.264 access unit. */
        VIDEO_FRAME;

        /** Whether it belongs to the audio stream. */
        public boolean isAudio() {
            return this == AUDIO_CONFIG || this == AUDIO_FRAME;
        }

        /** Whether it is a sequence header. */
        public boolean isConfig() {
            return this == AUDIO_CONFIG || this == VIDEO_CONFIG;
        }
    }

    /** How the bytes are framed. */
    public enum Form {
        /** AVCC access unit, or raw AAC frame / bare AudioSpecificConfig. */
        PLAIN,
        /** Annex B access unit (start codes). */
        ANNEXB,
        /** One whole ADTS frame, header included. */
        ADTS
    }
}
