package tessora.streaming.media.reader;

import java.io.IOException;
import java.nio.ByteBuffer;
import java.util.ArrayList;
import java.util.List;

import tessora.media.h264.H264;
import tessora.streaming.media.AvcConfig;
import tessora.streaming.media.AvcFrame;

/**
 * A raw H.264 Annex B stream (a {@code .h264} file), which carries no times: access unit n is decoded at tick n of
 * a {@code 1/fps} clock and presented at its display position plus the stream's reordering delay, so B-frames keep
 * their composition times. The stream is read one IDR period at a time (from an IDR access unit to the next):
 * picture order counts start again at every IDR picture, so each period is put in display order on its own by the
 * H.264 helper, and only one period is held in memory.
 */
final class AnnexBTrack implements TrackCursor {
    /** The longest IDR period held in memory. */
    static final int MAX_PERIOD = 64 << 20;
    private static final int READ = 1 << 20;
    private static final int NAL_IDR = 5;

    private final Source source;
    private final int fps;
    private final AvcConfig config;
    private final PeriodSplitter splitter;
    private byte[] period;
    private long periodOffset;
    private final List<int[]> units = new ArrayList<>(); // {offset, length} of each access unit in the period
    private int[] display;
    private int unit;
    private long periodFirst;
    private long delay;
    private Next next;

    AnnexBTrack(Source source, int fps) throws IOException {
        this.source = source;
        this.fps = fps;
        this.splitter = new PeriodSplitter(source, READ, MAX_PERIOD);
        if (!loadPeriod()) {
            throw source.error("H.264 stream", 0, "empty");
        }
        try {
            config = AvcConfig.fromAnnexB(ByteBuffer.wrap(period));
        } catch (IllegalArgumentException e) {
            throw source.error("H.264 stream", 0, "no SPS and PPS before the second IDR picture");
        }
    }

    AvcConfig config() {
        return config;
    }

    @Override
    public MediaSample.Kind kind() {
        return MediaSample.Kind.VIDEO;
    }

    @Override
    public Source source() {
        return source;
    }

    @Override
    public long timescale() {
        return fps;
    }

    @Override
    public Next peek() throws IOException {
        if (next == null) {
            if (unit == units.size()) {
                periodFirst += units.size();
                if (!loadPeriod()) {
                    return null;
                }
            }
            long dts = periodFirst + unit;
            long pts = periodFirst + display[unit] + delay;
            int[] u = units.get(unit);
            next = new Next(dts, pts, hasIdr(period, u[0], u[1]), periodOffset + u[0]);
        }
        return next;
    }

    @Override
    public ByteBuffer take() throws IOException {
        int[] u = units.get(unit++);
        next = null;
        try {
            return AvcFrame.fromAnnexB(ByteBuffer.wrap(period, u[0], u[1]), 0, 0, false).data();
        } catch (IllegalArgumentException e) {
            throw source.error("access unit", periodOffset + u[0], e.getMessage());
        }
    }

    /** Whether an Annex B access unit holds an IDR picture. */
    private static boolean hasIdr(byte[] b, int at, int len) {
        for (int i = at; i + 3 < at + len; i++) {
            if (b[i] == 0 && b[i + 1] == 0 && b[i + 2] == 1 && (b[i + 3] & 0x1F) == NAL_IDR) {
                return true;
            }
        }
        return false;
    }

    /** Cuts the next IDR period that holds access units, and puts them in display order; false at the end. */
    private boolean loadPeriod() throws IOException {
        units.clear();
        unit = 0;
        while (units.isEmpty()) {
            periodOffset = splitter.position();
            period = splitter.next();
            if (period == null) {
                return false;
            }
            for (int at = 0; at < period.length; ) {
                int len = H264.annexb_au_len(period, at, period.length - at);
                if (len <= 0) {
                    if (periodOffset == 0 && at == 0) {
                        throw source.error("H.264 stream", 0, "not an Annex B stream (" + H264.error_name(len)
                                + ")");
                    }
                    break; // bytes that hold no access unit
                }
                units.add(new int[] {at, len});
                at += len;
            }
        }
        display = new int[units.size()];
        if (H264.annexb_display_order(period, 0, period.length, display) != units.size()) {
            for (int i = 0; i < display.length; i++) {
                display[i] = i; // order unreadable: presented as decoded
            }
        }
        for (int i = 0; i < display.length; i++) {
            delay = Math.max(delay, i - display[i]);
        }
        return true;
    }
}
