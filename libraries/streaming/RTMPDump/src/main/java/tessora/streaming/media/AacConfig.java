package tessora.streaming.media;

import java.util.Arrays;

/**
 * The AAC decoder configuration (ISO 14496-3 AudioSpecificConfig), sent once per connection as the AAC sequence
 * header.
 *
 * @param audioSpecificConfig the AudioSpecificConfig bytes, at least two; copied when made and when read
 */
public record AacConfig(byte[] audioSpecificConfig) {
    private static final int[] SAMPLE_RATES = {96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000,
        11025, 8000, 7350};

    /** Checks and copies the bytes. */
    public AacConfig {
        if (audioSpecificConfig == null || audioSpecificConfig.length < 2) {
            throw new IllegalArgumentException("an AudioSpecificConfig has at least 2 bytes");
        }
        audioSpecificConfig = audioSpecificConfig.clone();
        if (objectTypeOf(audioSpecificConfig) == 0) {
            throw new IllegalArgumentException("AudioSpecificConfig with audio object type 0");
        }
    }

    /** The configuration of an AAC stream with the given audio object type (2 for AAC-LC), rate and channels. */
    public static AacConfig of(int objectType, int sampleRate, int channels) {
        int index = rateIndex(sampleRate);
        if (objectType < 1 || objectType > 30 || channels < 1 || channels > 7) {
            throw new IllegalArgumentException("unsupported AAC configuration: object type " + objectType
                    + ", " + channels + " channels");
        }
        return new AacConfig(new byte[] {
            (byte) (objectType << 3 | index >> 1), (byte) ((index & 1) << 7 | channels << 3)});
    }

    /**
     * The configuration an ADTS header describes (the first 7 bytes of an ADTS frame).
     *
     * @throws IllegalArgumentException when the bytes are not an ADTS header
     */
    public static AacConfig fromAdtsHeader(byte[] adts) {
        if (adts == null || adts.length < 7 || (adts[0] & 0xFF) != 0xFF || (adts[1] & 0xF6) != 0xF0) {
            throw new IllegalArgumentException("not an ADTS header");
        }
        int index = (adts[2] >> 2) & 0x0F;
        if (index >= SAMPLE_RATES.length) {
            throw new IllegalArgumentException("ADTS header with sampling index " + index);
        }
        int channels = (adts[2] & 1) << 2 | (adts[3] & 0xC0) >> 6;
        return of(((adts[2] & 0xC0) >> 6) + 1, SAMPLE_RATES[index], channels);
    }

    /**
     * The AudioSpecificConfig bytes.
     *
     * @return a copy
     */
    @Override
    public byte[] audioSpecificConfig() {
        return audioSpecificConfig.clone();
    }

    /** The audio object type (2 is AAC-LC). */
    public int objectType() {
        return objectTypeOf(audioSpecificConfig);
    }

    /** The sampling rate in Hz, 0 when the configuration gives an explicit rate this record does not read. */
    public int sampleRate() {
        int index = (audioSpecificConfig[0] & 0x07) << 1 | (audioSpecificConfig[1] & 0x80) >> 7;
        return index < SAMPLE_RATES.length ? SAMPLE_RATES[index] : 0;
    }

    /** The channel configuration (1 mono, 2 stereo, ...). */
    public int channels() {
        return (audioSpecificConfig[1] & 0x78) >> 3;
    }

    private static int objectTypeOf(byte[] asc) {
        return (asc[0] & 0xF8) >> 3;
    }

    private static int rateIndex(int sampleRate) {
        for (int i = 0; i < SAMPLE_RATES.length; i++) {
            if (SAMPLE_RATES[i] == sampleRate) {
                return i;
            }
        }
        throw new IllegalArgumentException("unsupported AAC sampling rate " + sampleRate);
    }

    @Override
    public boolean equals(Object o) {
        return o instanceof AacConfig c && Arrays.equals(audioSpecificConfig, c.audioSpecificConfig);
    }

    @Override
    public int hashCode() {
        return Arrays.hashCode(audioSpecificConfig);
    }

    @Override
    public String toString() {
        return "AacConfig[objectType=" + objectType() + ", sampleRate=" + sampleRate() + ", channels=" + channels()
                + "]";
    }
}
