package tessora.streaming.rtmpdump;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertSame;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.ByteBuffer;
import java.util.List;
import java.util.function.IntSupplier;

import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.TestInstance;
import org.junit.jupiter.api.extension.RegisterExtension;
import org.junit.jupiter.api.function.Executable;

import tessora.streaming.media.AacConfig;
import tessora.streaming.media.AacFrame;
import tessora.streaming.media.AvcConfig;
import tessora.streaming.media.AvcFrame;
import tessora.testing.RtmpServer;

/**
 * Bad input to the typed API and to the typed natives under it gives an exception or a result code, never a crash;
 * the connection stays usable after every case.
 */
@TestInstance(TestInstance.Lifecycle.PER_CLASS)
class TypedInputTest {
    @RegisterExtension
    static final RtmpServer nginx = new RtmpServer();
    private final Clip clip = Clip.load();

    private record Refused(String name, Class<? extends Throwable> thrown, Executable call) {}

    private record Answered(String name, RtmpError code, IntSupplier call) {}

    @Test
    void recordsAndSendsRefuseBadInputWithAnException() throws Exception {
        byte[] sps = clip.avcConfig().sps().get(0);
        byte[] pps = clip.avcConfig().pps().get(0);
        try (Publisher p = Publisher.to(nginx.url("live", "refused")).connect()) {
            List<Refused> cases = List.of(
                    new Refused("null AAC frame bytes", NullPointerException.class, () -> new AacFrame(null, 0)),
                    new Refused("empty AAC frame", IllegalArgumentException.class,
                            () -> new AacFrame(ByteBuffer.allocate(0), 0)),
                    new Refused("negative AAC time", IllegalArgumentException.class,
                            () -> AacFrame.of(new byte[] {1}, -1)),
                    new Refused("one-byte AudioSpecificConfig", IllegalArgumentException.class,
                            () -> new AacConfig(new byte[] {0x12})),
                    new Refused("null AudioSpecificConfig", IllegalArgumentException.class,
                            () -> new AacConfig(null)),
                    new Refused("empty access unit", IllegalArgumentException.class,
                            () -> AvcFrame.of(new byte[0], 0, 0, true)),
                    new Refused("negative dts", IllegalArgumentException.class,
                            () -> AvcFrame.of(new byte[] {0, 0, 0, 1, 9}, -1, 0, false)),
                    new Refused("negative pts", IllegalArgumentException.class,
                            () -> AvcFrame.of(new byte[] {0, 0, 0, 1, 9}, 0, -40, false)),
                    new Refused("length prefix past the end", IllegalArgumentException.class,
                            () -> AvcFrame.of(new byte[] {0, 0, 0, 9, 9}, 0, 0, false)),
                    new Refused("no SPS", IllegalArgumentException.class, () -> new AvcConfig(List.of(), List.of(pps))),
                    new Refused("a PPS as SPS", IllegalArgumentException.class,
                            () -> new AvcConfig(List.of(pps), List.of(pps))),
                    new Refused("send null AacConfig", NullPointerException.class, () -> p.send((AacConfig) null)),
                    new Refused("send null AacFrame", NullPointerException.class, () -> p.send((AacFrame) null)),
                    new Refused("send null AvcConfig", NullPointerException.class, () -> p.send((AvcConfig) null)),
                    new Refused("send null AvcFrame", NullPointerException.class, () -> p.send((AvcFrame) null)),
                    new Refused("send null metadata", NullPointerException.class, () -> p.sendMetadata(null)));
            for (Refused c : cases) {
                assertThrows(c.thrown(), c.call(), c.name());
            }
            assertSame(RtmpError.OK, p.send(new AvcConfig(List.of(sps), List.of(pps))));
            assertSame(RtmpError.OK, p.send(clip.avcFrame(0)), "the connection is fine after them");
        }
    }

    @Test
    void whatARecordHoldsIsWhatIsSent() throws Exception {
        try (Publisher p = Publisher.to(nginx.url("live", "held")).connect()) {
            assertSame(RtmpError.OK, p.send(clip.avcConfig()));
            AvcFrame f = clip.avcFrame(0);
            int size = f.size();
            f.data().position(size - 1); // a caller's reading moves its own view only
            assertEquals(size, f.size());
            assertSame(RtmpError.OK, p.send(f));
            ByteBuffer huge = ByteBuffer.allocate(0x1000000);
            huge.putInt(0, 0x1000000 - 4).put(4, (byte) 0x65);
            assertSame(RtmpError.BUFF_TOO_LARGE, p.send(new AvcFrame(huge, 80, 80, true)), "larger than a message");
        }
    }

    /** The natives under the typed API check handle, buffer, range and times before reading a byte. */
    @Test
    void theTypedNativesAnswerBadArgumentsWithCodes() {
        long h = Tavrel.connect(nginx.url("live", "natives"), null, null, false, false, false, false, 2048, 65536,
                null);
        assertTrue(h > 0);
        try {
            ByteBuffer direct = ByteBuffer.allocateDirect(64).put(0, new byte[] {0, 0, 0, 2, 0x65, 0, 0x12, 0x10});
            ByteBuffer heap = ByteBuffer.allocate(64);
            List<Answered> cases = List.of(
                    new Answered("no context", RtmpError.DISCONNECTED,
                            () -> TavrelExt.send_aac_frame(0, direct, 6, 2, 0)),
                    new Answered("negative handle", RtmpError.DISCONNECTED,
                            () -> TavrelExt.send_avc_frame(-4, direct, 0, 6, 0, 0, true)),
                    new Answered("null buffer", RtmpError.INVALID_BUFF,
                            () -> TavrelExt.send_aac_config(h, null, 0, 2)),
                    new Answered("heap buffer", RtmpError.INVALID_BUFF,
                            () -> TavrelExt.send_aac_frame(h, heap, 0, 2, 0)),
                    new Answered("heap buffer, video", RtmpError.INVALID_NAL,
                            () -> TavrelExt.send_avc_frame(h, heap, 0, 6, 0, 0, true)),
                    new Answered("negative offset", RtmpError.INVALID_BUFF,
                            () -> TavrelExt.send_aac_frame(h, direct, -1, 2, 0)),
                    new Answered("past the capacity", RtmpError.INVALID_BUFF,
                            () -> TavrelExt.send_aac_frame(h, direct, 60, 5, 0)),
                    new Answered("length overflowing the offset", RtmpError.INVALID_NAL,
                            () -> TavrelExt.send_avc_frame(h, direct, 8, Integer.MAX_VALUE, 0, 0, true)),
                    new Answered("negative length", RtmpError.INVALID_NAL,
                            () -> TavrelExt.send_avc_config(h, direct, 0, 4, 4, -1)),
                    new Answered("empty AAC frame", RtmpError.INVALID_BUFF,
                            () -> TavrelExt.send_aac_frame(h, direct, 0, 0, 0)),
                    new Answered("negative AAC time", RtmpError.NEGATIVE_TIMESTAMP,
                            () -> TavrelExt.send_aac_frame(h, direct, 6, 2, -1)),
                    new Answered("negative video time", RtmpError.NEGATIVE_TIMESTAMP,
                            () -> TavrelExt.send_avc_frame(h, direct, 0, 6, -1, 0, true)),
                    new Answered("an access unit shorter than its prefix", RtmpError.INVALID_NAL,
                            () -> TavrelExt.send_avc_frame(h, direct, 0, 3, 0, 0, true)),
                    new Answered("send timeout without a context", RtmpError.DISCONNECTED,
                            () -> TavrelExt.set_send_timeout(0, 1000)),
                    new Answered("unsent limit without a context", RtmpError.DISCONNECTED,
                            () -> TavrelExt.set_unsent_limit(-1, 1000)),
                    new Answered("negative send timeout", RtmpError.INVALID_BUFF,
                            () -> TavrelExt.set_send_timeout(h, -5)),
                    new Answered("a send timeout", RtmpError.OK, () -> TavrelExt.set_send_timeout(h, 5000)),
                    new Answered("an unsent limit", RtmpError.OK, () -> TavrelExt.set_unsent_limit(h, 65536)),
                    new Answered("a good AAC frame", RtmpError.OK,
                            () -> TavrelExt.send_aac_frame(h, direct, 6, 2, 0)));
            for (Answered c : cases) {
                assertSame(c.code(), RtmpError.of(c.call().getAsInt()), c.name());
            }
            assertTrue(Tavrel.can_send(h));
        } finally {
            Tavrel.close(h);
        }
    }
}
