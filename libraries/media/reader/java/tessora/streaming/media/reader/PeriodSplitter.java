package tessora.streaming.media.reader;

import java.io.IOException;
import java.nio.ByteBuffer;
import java.util.Arrays;

/**
 * Cuts an Annex B byte stream, read block by block, into IDR periods: each ends where the next IDR access unit
 * begins, that is at the first non-picture unit (access unit delimiter, SEI, SPS, PPS) after the last picture and
 * before an IDR slice that begins a picture, or at that slice itself.
 */
final class PeriodSplitter {
    private static final int NAL_IDR = 5;
    private static final int NAL_SEI = 6;
    private static final int NAL_AUD = 9;
    private static final int NAL_PREFIX_FIRST = 14;
    private static final int NAL_PREFIX_LAST = 18;

    private final Source source;
    private final int block;
    private final int max;
    private byte[] buf = new byte[0];
    private int len;
    private long bufOffset;
    private long readAt;

    PeriodSplitter(Source source, int block, int max) {
        this.source = source;
        this.block = block;
        this.max = max;
    }

    /** The file offset of the next period. */
    long position() {
        return bufOffset;
    }

    /** The next period's bytes, or null at the end of the stream. */
    byte[] next() throws IOException {
        int scan = 0;
        boolean picture = false;
        int cut = -1; // where the units after the last picture begin
        while (true) {
            int i = startCode(scan);
            if (i < 0 || i + 4 >= len) { // the unit's header and first slice byte must be in the buffer
                if (readAt >= source.size()) {
                    return take(len);
                }
                if (len >= max) {
                    throw source.error("H.264 stream", bufOffset, "no IDR picture within " + max + " bytes");
                }
                scan = Math.max(0, i < 0 ? len - 3 : i);
                fill();
                continue;
            }
            int type = buf[i + 3] & 0x1F;
            int start = i > 0 && buf[i - 1] == 0 ? i - 1 : i;
            if (type >= 1 && type <= NAL_IDR) {
                // first_mb_in_slice is 0 (ue(v) "1") when the slice begins a picture
                if (type == NAL_IDR && (buf[i + 4] & 0x80) != 0 && picture) {
                    return take(cut >= 0 ? cut : start);
                }
                picture = true;
                cut = -1;
            } else if (picture && cut < 0 && (type >= NAL_SEI && type <= NAL_AUD
                    || type >= NAL_PREFIX_FIRST && type <= NAL_PREFIX_LAST)) {
                cut = start;
            }
            scan = i + 3;
        }
    }

    private int startCode(int from) {
        for (int i = from; i + 2 < len; i++) {
            if (buf[i + 2] == 1 && buf[i + 1] == 0 && buf[i] == 0) {
                return i;
            }
        }
        return -1;
    }

    private void fill() throws IOException {
        ByteBuffer more = source.readUpTo(readAt, block, "H.264 stream");
        if (buf.length - len < more.remaining()) {
            buf = Arrays.copyOf(buf, Math.max(buf.length * 2, len + more.remaining()));
        }
        int n = more.remaining();
        more.get(buf, len, n);
        len += n;
        readAt += n;
    }

    private byte[] take(int n) {
        if (n == 0) {
            return null;
        }
        byte[] out = Arrays.copyOf(buf, n);
        System.arraycopy(buf, n, buf, 0, len - n);
        len -= n;
        bufOffset += n;
        return out;
    }
}
