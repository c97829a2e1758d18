package tessora.apps.publish;

import java.nio.ByteBuffer;
import java.util.ArrayList;
import java.util.List;

import tessora.streaming.media.AacConfig;
import tessora.streaming.media.AacFrame;
import tessora.streaming.media.AvcConfig;
import tessora.streaming.media.AvcFrame;
import tessora.streaming.rtmpdump.Publisher;
import tessora.streaming.rtmpdump.RtmpError;

/**
 * Sends one {@link MediaUnit} as the typed record it holds. A unit the records refuse (a cut ADTS frame, an access
 * unit without units, a configuration without SPS or PPS) is not sent and is answered with the publisher's input
 * error for its kind (INVALID_BUFF or INVALID_NAL), so every outcome is one RtmpError.
 */
final class Records {
    private static final int NAL_SPS = 7;
    private static final int NAL_PPS = 8;
    private static final int ADTS_HEADER = 7;
    private static final int ADTS_CRC = 2;

    private Records() {}

    static RtmpError send(Publisher p, MediaUnit u) {
        try {
            return switch (u.kind()) {
                case AUDIO_CONFIG -> p.send(aacConfig(u));
                case AUDIO_FRAME -> p.send(new AacFrame(aacPayload(u), u.dtsMs()));
                case VIDEO_CONFIG -> p.send(avcConfig(u));
                case VIDEO_FRAME -> p.send(avcFrame(u));
            };
        } catch (IllegalArgumentException refused) {
            return u.kind().isAudio() ? RtmpError.INVALID_BUFF : RtmpError.INVALID_NAL;
        }
    }

    private static AacConfig aacConfig(MediaUnit u) {
        return u.form() == MediaUnit.Form.ADTS ? AacConfig.fromAdtsHeader(u.bytes()) : new AacConfig(u.bytes());
    }

    /** The raw frame: an ADTS frame without its header (and CRC). */
    private static ByteBuffer aacPayload(MediaUnit u) {
        byte[] b = u.bytes();
        if (u.form() != MediaUnit.Form.ADTS) {
            return ByteBuffer.wrap(b);
        }
        if (b.length < ADTS_HEADER) {
            throw new IllegalArgumentException("ADTS frame of " + b.length + " bytes");
        }
        boolean hasCrc = (b[1] & 0x01) == 0;
        int header = ADTS_HEADER + (hasCrc ? ADTS_CRC : 0);
        return ByteBuffer.wrap(b, Math.min(header, b.length), Math.max(b.length - header, 0));
    }

    private static AvcConfig avcConfig(MediaUnit u) {
        ByteBuffer b = ByteBuffer.wrap(u.bytes());
        if (u.form() == MediaUnit.Form.ANNEXB) {
            return AvcConfig.fromAnnexB(b);
        }
        List<byte[]> sps = new ArrayList<>();
        List<byte[]> pps = new ArrayList<>();
        for (ByteBuffer unit : new AvcFrame(b, 0, 0, true).units()) {
            byte[] set = new byte[unit.remaining()];
            unit.get(set);
            int type = set[0] & 0x1F;
            if (type == NAL_SPS) {
                sps.add(set);
            } else if (type == NAL_PPS) {
                pps.add(set);
            }
        }
        return new AvcConfig(sps, pps);
    }

    private static AvcFrame avcFrame(MediaUnit u) {
        ByteBuffer b = ByteBuffer.wrap(u.bytes());
        return u.form() == MediaUnit.Form.ANNEXB ? AvcFrame.fromAnnexB(b, u.dtsMs(), u.ptsMs(), u.keyframe())
                : new AvcFrame(b, u.dtsMs(), u.ptsMs(), u.keyframe());
    }
}
