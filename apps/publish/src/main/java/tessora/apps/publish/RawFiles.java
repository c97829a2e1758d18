package tessora.apps.publish;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Comparator;
import java.util.List;

import tessora.media.aac.Adts;
import tessora.media.h264.H264;

/**
 * A raw Annex B .h264 stream, with an optional ADTS .aac stream, read into {@link MediaUnit}s. Raw H.264 carries
 * no times: access unit n is decoded at n / fps seconds and presented at its display position (from the pictures'
 * order counts) plus the stream's reordering delay, so B-frames keep their composition times. Audio frames are
 * stamped by the samples before them.
 */
public final class RawFiles {
    private static final int[] ADTS_RATES = {96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000,
        11025, 8000, 7350};

    private RawFiles() {}

    /** Reads a raw H.264 stream at fps frames per second, and an ADTS stream when audio is not null. */
    public static MediaSource read(Path video, Path audio, int fps) throws IOException {
        if (fps <= 0) {
            throw new IOException("frame rate must be positive");
        }
        List<MediaUnit> units = new ArrayList<>();
        int[] audioInfo = new int[2];
        int videoFrames = readH264(Files.readAllBytes(video), fps, units, video.toString());
        int audioFrames = audio == null ? 0 : readAdts(Files.readAllBytes(audio), units, audioInfo, audio.toString());
        // Sequence headers first, then both streams by decoding time (stable: file order within a stream).
        units.sort(Comparator.comparing((MediaUnit u) -> !u.kind().isConfig()).thenComparingLong(MediaUnit::dtsMs));
        StreamInfo info = new StreamInfo(0, 0, 0, fps, 0, audioInfo[0], audio == null ? 0 : 16, audioInfo[1]);
        return new MediaSource(units, info, video.getFileName() + (audio == null ? "" : " + " + audio.getFileName())
                + " (raw: " + videoFrames + " video frames, " + audioFrames + " audio frames)");
    }

    private static int readH264(byte[] b, int fps, List<MediaUnit> out, String name) throws IOException {
        int[] display = displayOrder(b);
        int delay = 0;
        for (int i = 0; i < display.length; i++) {
            delay = Math.max(delay, i - display[i]);
        }
        int at = 0;
        int n = 0;
        boolean haveConfig = false;
        while (at < b.length) {
            int len = H264.annexb_au_len(b, at, b.length - at);
            if (len <= 0) {
                if (n == 0) {
                    throw new IOException(name + ": not an Annex B H.264 stream (" + H264.error_name(len) + ")");
                }
                break; // trailing bytes that hold no unit
            }
            byte[] au = Arrays.copyOfRange(b, at, at + len);
            at += len;
            int types = nalTypes(au);
            if (!haveConfig && (types & (1 << H264.NAL_SPS)) != 0 && (types & (1 << H264.NAL_PPS)) != 0) {
                out.add(new MediaUnit(MediaUnit.Kind.VIDEO_CONFIG, 0, 0, true, au, MediaUnit.Form.ANNEXB));
                haveConfig = true;
            }
            // Rounded to the millisecond as FFmpeg's muxers round, so a raw stream and its FLV agree.
            long dts = Math.round(n * 1000.0 / fps);
            long pts = n < display.length ? Math.round((display[n] + delay) * 1000.0 / fps) : dts;
            out.add(new MediaUnit(MediaUnit.Kind.VIDEO_FRAME, dts, pts, (types & (1 << H264.NAL_SLICE_IDR)) != 0, au,
                    MediaUnit.Form.ANNEXB));
            n++;
        }
        if (!haveConfig) {
            throw new IOException(name + ": no access unit carries both SPS and PPS");
        }
        return n;
    }

    /** The display position of each access unit; none (presentation by decoding order) when it cannot be read. */
    private static int[] displayOrder(byte[] b) {
        int count = H264.annexb_display_order(b, 0, b.length, null);
        if (count <= 0) {
            return new int[0];
        }
        int[] display = new int[count];
        return H264.annexb_display_order(b, 0, b.length, display) == count ? display : new int[0];
    }

    /** A bit per nal_unit_type present behind the start codes of an Annex B access unit. */
    static int nalTypes(byte[] au) {
        int types = 0;
        for (int i = 0; i + 3 < au.length; i++) {
            if (au[i] == 0 && au[i + 1] == 0 && au[i + 2] == 1) {
                types |= 1 << (au[i + 3] & 0x1F);
                i += 2;
            }
        }
        return types;
    }

    private static int readAdts(byte[] b, List<MediaUnit> out, int[] info, String name) throws IOException {
        int at = 0;
        long samples = 0;
        int n = 0;
        while (at < b.length) {
            int len = Adts.frame_len(b, at, b.length - at);
            if (len <= 0) {
                if (n == 0) {
                    throw new IOException(name + ": not an ADTS AAC stream (code " + len + ")");
                }
                break;
            }
            byte[] frame = Arrays.copyOfRange(b, at, at + len);
            at += len;
            int rateIndex = (frame[2] >> 2) & 0x0F;
            if (rateIndex >= ADTS_RATES.length) {
                throw new IOException(name + ": bad sampling frequency index " + rateIndex);
            }
            int rate = ADTS_RATES[rateIndex];
            if (n == 0) {
                info[0] = rate;
                info[1] = ((frame[2] & 0x01) << 2) | ((frame[3] >> 6) & 0x03);
                out.add(new MediaUnit(MediaUnit.Kind.AUDIO_CONFIG, 0, 0, false, frame, MediaUnit.Form.ADTS));
            }
            long ms = samples * 1000L / rate;
            out.add(new MediaUnit(MediaUnit.Kind.AUDIO_FRAME, ms, ms, false, frame, MediaUnit.Form.ADTS));
            samples += 1024L * ((frame[6] & 0x03) + 1);
            n++;
        }
        return n;
    }
}
