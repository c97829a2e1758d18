package tessora.streaming.rtmpdump;

import java.io.IOException;
import java.io.UncheckedIOException;
import java.nio.ByteBuffer;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;

import tessora.media.aac.Adts;
import tessora.media.h264.H264;
import tessora.streaming.media.AacConfig;
import tessora.streaming.media.AacFrame;
import tessora.streaming.media.AvcConfig;
import tessora.streaming.media.AvcFrame;
import tessora.testing.RtmpServer;

/**
 * FFmpeg's short clip (2 s, 30 fps H.264 with B-frames, AAC-LC 44.1 kHz stereo) as raw access units and ADTS
 * frames, with the typed records and the native records the publisher takes made from them. Video unit n is stamped
 * n/30 s, audio frame n 1024 n / 44100 s.
 */
final class Clip {
    final List<byte[]> accessUnits = new ArrayList<>();
    final List<byte[]> adtsFrames = new ArrayList<>();

    /** Reads the clip the fixture made; a test class that cannot have it fails as a whole. */
    static Clip load() {
        try {
            return read();
        } catch (IOException e) {
            throw new UncheckedIOException(e);
        }
    }

    private static Clip read() throws IOException {
        Clip c = new Clip();
        byte[] h264 = Files.readAllBytes(RtmpServer.testData().resolve("short.h264"));
        for (int at = 0; at < h264.length;) {
            int n = H264.annexb_au_len(h264, at, h264.length - at);
            if (n <= 0) {
                throw new IOException("short.h264 at " + at + ": " + H264.error_name(n));
            }
            c.accessUnits.add(Arrays.copyOfRange(h264, at, at + n));
            at += n;
        }
        byte[] aac = Files.readAllBytes(RtmpServer.testData().resolve("short.aac"));
        for (int at = 0; at < aac.length;) {
            int n = Adts.frame_len(aac, at, aac.length - at);
            if (n <= 0) {
                throw new IOException("short.aac at " + at + ": code " + n);
            }
            c.adtsFrames.add(Arrays.copyOfRange(aac, at, at + n));
            at += n;
        }
        return c;
    }

    static Path flv() {
        return RtmpServer.testData().resolve("short.flv");
    }

    long videoMs(int n) {
        return n * 1000L / 30;
    }

    long audioMs(int n) {
        return n * 1024L * 1000 / 44100;
    }

    /** A NALUS of access unit n (stripped units, milliseconds); free with H264.free_nalus. */
    long nalus(int n) {
        byte[] au = accessUnits.get(n);
        long ms = videoMs(n);
        return made(H264.nalus_from_annexb(au, 0, au.length, true, 1, 1000, ms, ms, 0, 0, null),
                "NALUS for access unit " + n);
    }

    /** A NALUPayload (AVCC bytes, not stripped) of access unit n; free with H264.free_payload. */
    long payload(int n) {
        byte[] au = accessUnits.get(n);
        long ms = videoMs(n);
        return made(H264.payload_from_annexb(au, 0, au.length, false, 1, 1000, ms, ms, 0, 0, null),
                "payload for access unit " + n);
    }

    /** The AACHeader of the stream; free with Adts.free_header. */
    long aacHeader() {
        byte[] f = adtsFrames.get(0);
        return made(Adts.make_header(f, 0, f.length, null), "AACHeader");
    }

    /** The AACData of frame n; free with Adts.free_data. */
    long aacData(int n) {
        byte[] f = adtsFrames.get(n);
        return made(Adts.make_data(f, 0, f.length, null), "AACData for frame " + n);
    }

    AacConfig aacConfig() {
        return AacConfig.fromAdtsHeader(adtsFrames.get(0));
    }

    /** Frame n without its ADTS header. */
    AacFrame aacFrame(int n) {
        byte[] f = adtsFrames.get(n);
        int header = (f[1] & 1) == 1 ? 7 : 9;
        return new AacFrame(ByteBuffer.wrap(f, header, f.length - header), audioMs(n));
    }

    AvcConfig avcConfig() {
        return AvcConfig.fromAnnexB(ByteBuffer.wrap(accessUnits.get(0)));
    }

    /** Access unit n, key frame when it holds an IDR slice. */
    AvcFrame avcFrame(int n) {
        AvcFrame f = AvcFrame.fromAnnexB(ByteBuffer.wrap(accessUnits.get(n)), videoMs(n), videoMs(n), false);
        boolean key = f.units().stream().anyMatch(u -> (u.get(u.position()) & 0x1F) == H264.NAL_SLICE_IDR);
        return key ? new AvcFrame(f.data(), f.dtsMs(), f.ptsMs(), true) : f;
    }

    private static long made(long record, String what) {
        if (record == 0) {
            throw new IllegalStateException("no " + what);
        }
        return record;
    }
}
