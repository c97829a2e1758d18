package tessora.apps.publish;

import tessora.streaming.rtmpdump.Metadata;

/** What onMetaData tells about a stream; bit rates in kbit/s as FLV files carry them. */
public record StreamInfo(int width, int height, int videoKbps, int frameRate, int audioKbps, int sampleRate,
        int sampleSizeBits, int channels) {
    /** The values as the publisher's onMetaData. */
    public Metadata metadata() {
        return new Metadata(width, height, videoKbps, frameRate, audioKbps, sampleRate, sampleSizeBits, channels);
    }
}
