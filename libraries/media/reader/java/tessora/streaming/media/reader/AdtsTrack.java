package tessora.streaming.media.reader;

import java.io.IOException;
import java.nio.ByteBuffer;

import tessora.streaming.media.AacConfig;

/**
 * An ADTS AAC stream (a raw {@code .aac} file) read frame by frame. Times count samples: each frame holds 1024 per
 * channel, so the timescale is the sampling rate of the first frame.
 */
final class AdtsTrack implements TrackCursor {
    private static final int HEADER = 7;
    private static final int CRC = 2;
    private static final int SAMPLES_PER_FRAME = 1024;
    private static final int[] RATES = {96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000,
        11025, 8000, 7350};

    private final Source source;
    private final AacConfig config;
    private final int rate;
    private long at;
    private long samples;
    private Next next;
    private int headerLen;
    private int frameLen;

    AdtsTrack(Source source) throws IOException {
        this.source = source;
        ByteBuffer h = header(0);
        byte[] first = new byte[HEADER];
        h.get(0, first);
        try {
            this.config = AacConfig.fromAdtsHeader(first);
        } catch (IllegalArgumentException e) {
            throw source.error("ADTS frame", 0, e.getMessage());
        }
        this.rate = RATES[(first[2] >> 2) & 0x0F];
    }

    AacConfig config() {
        return config;
    }

    int rate() {
        return rate;
    }

    @Override
    public MediaSample.Kind kind() {
        return MediaSample.Kind.AUDIO;
    }

    @Override
    public Source source() {
        return source;
    }

    @Override
    public long timescale() {
        return rate;
    }

    @Override
    public Next peek() throws IOException {
        if (next == null && at < source.size()) {
            ByteBuffer h = header(at);
            headerLen = (h.get(1) & 0x01) != 0 ? HEADER : HEADER + CRC;
            frameLen = (h.get(3) & 0x03) << 11 | (h.get(4) & 0xFF) << 3 | (h.get(5) & 0xFF) >> 5;
            if (frameLen <= headerLen) {
                throw source.error("ADTS frame", at, "frame length " + frameLen + " leaves no payload");
            }
            if (frameLen > source.size() - at) {
                throw source.error("ADTS frame", at, "claims " + frameLen + " bytes, " + (source.size() - at)
                        + " left");
            }
            if ((h.get(6) & 0x03) != 0) {
                throw source.error("ADTS frame", at, "several raw data blocks in one frame are not supported");
            }
            next = new Next(samples, samples, true, at);
        }
        return next;
    }

    @Override
    public ByteBuffer take() throws IOException {
        ByteBuffer frame = source.read(at + headerLen, frameLen - headerLen, "ADTS frame");
        at += frameLen;
        samples += SAMPLES_PER_FRAME;
        next = null;
        return frame;
    }

    /** The fixed header at {@code offset}, its sync word, layer and rate checked. */
    private ByteBuffer header(long offset) throws IOException {
        ByteBuffer h = source.readUpTo(offset, HEADER, "ADTS frame");
        if (h.remaining() < HEADER) {
            throw source.error("ADTS frame", offset, "header cut short (" + h.remaining() + " of 7 bytes)");
        }
        if ((h.get(0) & 0xFF) != 0xFF || (h.get(1) & 0xF6) != 0xF0) {
            throw source.error("ADTS frame", offset, "no ADTS sync word");
        }
        if (((h.get(2) >> 2) & 0x0F) >= RATES.length) {
            throw source.error("ADTS frame", offset, "sampling frequency index " + ((h.get(2) >> 2) & 0x0F));
        }
        return h;
    }
}
