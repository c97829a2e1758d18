package tessora.apps.publish;

/**
 * One unit of a media file in sending order: a sequence header or a frame. Times are milliseconds from the start
 * of the stream; for audio and sequence headers pts equals dts. Video frame bytes are AVCC (4-byte lengths), as
 * FLV and MP4 carry them, or Annex B from a raw .h264 file; video sequence headers are the SPS and PPS as AVCC
 * units; audio bytes are a raw AAC frame or the AudioSpecificConfig (ADTS frames from a raw .aac file are
 * cut by the record makers).
 */
public record MediaUnit(Kind kind, long dtsMs, long ptsMs, boolean keyframe, byte[] bytes, Form form) {
    public enum Kind {
        AUDIO_CONFIG, AUDIO_FRAME, VIDEO_CONFIG, VIDEO_FRAME;

        public boolean isAudio() {
            return this == AUDIO_CONFIG || this == AUDIO_FRAME;
        }

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
