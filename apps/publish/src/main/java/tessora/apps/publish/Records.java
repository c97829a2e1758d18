package tessora.apps.publish;

import tessora.media.aac.Adts;
import tessora.media.h264.H264;
import tessora.streaming.rtmpdump.Publisher;
import tessora.streaming.rtmpdump.RtmpError;

/**
 * Sends one {@link MediaUnit}: makes its native record with the media helpers, hands it to the publisher and
 * releases it. A unit the helpers refuse reaches the publisher as a missing record, which it answers with its
 * input error (INVALID_BUFF or INVALID_NAL), so every outcome is one RtmpError.
 */
final class Records {
    /** Milliseconds: the time base of every unit's times. */
    private static final int TIMEBASE_DEN = 1000;

    private Records() {}

    static RtmpError send(Publisher p, MediaUnit u) {
        byte[] b = u.bytes();
        int[] err = new int[1];
        switch (u.kind()) {
            case AUDIO_CONFIG: {
                long h = u.form() == MediaUnit.Form.ADTS ? Adts.make_header(b, 0, b.length, err)
                        : Adts.header_from_config(b, 0, b.length, err);
                try {
                    return p.sendAacHeader(h);
                } finally {
                    Adts.free_header(h);
                }
            }
            case AUDIO_FRAME: {
                long d = u.form() == MediaUnit.Form.ADTS ? Adts.make_data(b, 0, b.length, err)
                        : Adts.data_from_raw(b, 0, b.length, err);
                try {
                    return p.sendAacData(d, u.dtsMs());
                } finally {
                    Adts.free_data(d);
                }
            }
            case VIDEO_CONFIG: {
                long n = nalus(u, err);
                try {
                    return p.sendVideoHeader(n);
                } finally {
                    H264.free_nalus(n);
                }
            }
            case VIDEO_FRAME: {
                long n = nalus(u, err);
                try {
                    return p.sendH264(n);
                } finally {
                    H264.free_nalus(n);
                }
            }
            default:
                throw new IllegalArgumentException(u.kind().toString());
        }
    }

    private static long nalus(MediaUnit u, int[] err) {
        byte[] b = u.bytes();
        boolean config = u.kind().isConfig();
        long pts = config ? 0 : u.ptsMs();
        long dts = config ? 0 : u.dtsMs();
        // The stream starts at 0 in the file's own clock, so the server gets the file's times unchanged.
        return u.form() == MediaUnit.Form.ANNEXB
                ? H264.nalus_from_annexb(b, 0, b.length, true, 1, TIMEBASE_DEN, pts, dts, 0, 0, err)
                : H264.nalus_from_avcc(b, 0, b.length, true, 1, TIMEBASE_DEN, pts, dts, 0, 0, err);
    }
}
