package tessora.streaming.rtmpdump;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.IOException;
import java.io.OutputStream;
import java.net.InetAddress;
import java.net.ServerSocket;
import java.net.Socket;
import java.nio.charset.StandardCharsets;
import java.util.LinkedHashMap;
import java.util.Map;

import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.extension.RegisterExtension;

import tessora.streaming.rtmpdump.PublisherException.Reason;
import tessora.testing.ChallengeServer;
import tessora.testing.RtmpServer;

/** Every kind of failed connect gives its own reason, learned from that connect, against real peers on loopback. */
class ConnectReasonTest {
    @RegisterExtension
    static final RtmpServer nginx = RtmpServer.withTls();

    @Test
    void eachFailedConnectSaysWhy() throws Exception {
        try (ChallengeServer auth = new ChallengeServer("adobe", "--user", "alice:right", "--refuse-app", "gone");
                NotRtmp notRtmp = new NotRtmp();
                Publisher busy = Publisher.to(nginx.url("live", "busy")).connect()) {
            assertTrue(busy.canSend(), "the stream a second publisher is refused");
            Map<String, Object[]> cases = new LinkedHashMap<>();
            cases.put("no scheme", new Object[] {Publisher.to("not a url"), Reason.BAD_URL});
            cases.put("nothing listens", new Object[] {Publisher.to("rtmp://127.0.0.1:" + RtmpServer.freePort()
                    + "/live/x"), Reason.UNREACHABLE});
            cases.put("no such host", new Object[] {Publisher.to("rtmp://no-such-host.invalid/live/x"),
                Reason.DNS});
            cases.put("not an RTMP server", new Object[] {Publisher.to(notRtmp.url()), Reason.HANDSHAKE});
            cases.put("application refused", new Object[] {Publisher.to(auth.url("gone", "x")),
                Reason.APP_REFUSED});
            // nginx drops the connection of an application it lacks, without an answer.
            cases.put("connection dropped after connect", new Object[] {Publisher.to(nginx.url("nosuchapp", "x")),
                Reason.NOT_PUBLISHED});
            cases.put("stream already published", new Object[] {Publisher.to(nginx.url("live", "busy")),
                Reason.PUBLISH_REFUSED});
            cases.put("self-signed certificate", new Object[] {Publisher.to(nginx.tlsUrl("live", "x")),
                Reason.TLS_VERIFY});
            cases.put("wrong password", new Object[] {Publisher.to(auth.url("live", "x"))
                    .credentials("alice", "wrong"), Reason.AUTH_FAILED});
            Map<String, Reason> found = new LinkedHashMap<>();
            Map<String, Reason> expected = new LinkedHashMap<>();
            for (Map.Entry<String, Object[]> c : cases.entrySet()) {
                Publisher.Builder b = (Publisher.Builder) c.getValue()[0];
                PublisherException e = assertThrows(PublisherException.class, b::connect, c.getKey());
                assertTrue(e.getMessage().contains(e.reason().meaning()), e.getMessage());
                found.put(c.getKey(), e.reason());
                expected.put(c.getKey(), (Reason) c.getValue()[1]);
            }
            assertEquals(expected, found);
            // The servers take what was wrong done right: the right password, the certificate trusted (its path
            // holds a space), or not verified at all.
            Publisher.to(auth.url("live", "x")).credentials("alice", "right").connect().close();
            Publisher.to(nginx.tlsUrl("live", "trusted")).tlsCaFile(nginx.certificate()).connect().close();
            Publisher.to(nginx.tlsUrl("live", "unverified")).tlsVerify(false).connect().close();
        }
    }

    /** A TCP server on loopback that answers every connection with an HTTP error and closes it. */
    private static final class NotRtmp implements AutoCloseable {
        private final ServerSocket socket = new ServerSocket(0, 8, InetAddress.getLoopbackAddress());
        private final Thread thread = new Thread(this::serve, "not-rtmp");

        NotRtmp() throws IOException {
            thread.setDaemon(true);
            thread.start();
        }

        String url() {
            return "rtmp://127.0.0.1:" + socket.getLocalPort() + "/live/x";
        }

        private void serve() {
            while (!socket.isClosed()) {
                try (Socket s = socket.accept(); OutputStream out = s.getOutputStream()) {
                    out.write("HTTP/1.1 400 Bad Request\r\n\r\n".getBytes(StandardCharsets.US_ASCII));
                } catch (IOException closed) {
                    // closed by close(), or a client that went away
                }
            }
        }

        @Override
        public void close() throws IOException {
            socket.close();
        }
    }
}
