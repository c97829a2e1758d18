package tessora.streaming.rtmpdump;

/**
 * What the stream carries, sent as its onMetaData. The numbers go out as given: bit rates in the unit the server
 * expects (usually kbit/s), the sample size in bits.
 */
public record Metadata(int width, int height, int videoBitrate, int frameRate, int audioBitrate, int sampleRate,
        int sampleSizeBits, int channels) {}
