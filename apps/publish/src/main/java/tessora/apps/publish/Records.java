package tessora.apps.publish;

import java.util.function.LongConsumer;
import java.util.function.LongFunction;

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
        boolean adts = u.form() == MediaUnit.Form.ADTS;
        return switch (u.kind()) {
            case AUDIO_CONFIG -> sendOnce(adts ? Adts.make_header(b, 0, b.length, err)
                    : Adts.header_from_config(b, 0, b.length, err), p::sendAacHeader, Adts::free_header);
            case AUDIO_FRAME -> sendOnce(adts ? Adts.make_data(b, 0, b.length, err)
                    : Adts.data_from_raw(b, 0, b.length, err), d -> p.sendAacData(d, u.dtsMs()), Adts::free_data);
            case VIDEO_CONFIG -> sendOnce(nalus(u, err), p::sendVideoHeader, H264::free_nalus);
            case VIDEO_FRAME -> sendOnce(nalus(u, err), p::sendH264, H264::free_nalus);
        };
    }

    /** Sends the record and releases it, whatever the send does. */
    private static RtmpError sendOnce(long record, LongFunction<RtmpError> send, LongConsumer free) {
        try {
            return send.apply(record);
        } finally {
            free.accept(record);
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
