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
    static final RtmpServer nginx = new RtmpServer();

    @Test
    void eachFailedConnectSaysWhy() throws Exception {
        try (ChallengeServer auth = new ChallengeServer("adobe", "alice:right");
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
            cases.put("no such application", new Object[] {Publisher.to(nginx.url("nosuchapp", "x")),
                Reason.APP_REFUSED});
            cases.put("stream already published", new Object[] {Publisher.to(nginx.url("live", "busy")),
                Reason.PUBLISH_REFUSED});
            cases.put("wrong password", new Object[] {Publisher.to(auth.url("live", "x"))
                    .credentials("alice", "wrong"), Reason.AUTH_FAILED});
            for (Map.Entry<String, Object[]> c : cases.entrySet()) {
                Publisher.Builder b = (Publisher.Builder) c.getValue()[0];
                PublisherException e = assertThrows(PublisherException.class, b::connect, c.getKey());
                assertEquals(c.getValue()[1], e.reason(), c.getKey() + ": " + e.getMessage());
                assertTrue(e.getMessage().contains(e.reason().meaning()), e.getMessage());
            }
            // The server that refused the wrong password takes the right one: the reason was the password.
            Publisher.to(auth.url("live", "x")).credentials("alice", "right").connect().close();
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
