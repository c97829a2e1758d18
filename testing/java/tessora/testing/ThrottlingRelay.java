package tessora.testing;

import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.net.InetAddress;
import java.net.InetSocketAddress;
import java.net.ServerSocket;
import java.net.Socket;
import java.time.Duration;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.TimeUnit;

/**
 * A TCP relay on a free loopback port in front of a server (nginx): what a client sends is read at a set rate and
 * forwarded, what the server answers goes back as it comes. It can stop reading from its clients altogether (a
 * server that stopped reading) and start again. Its sockets have small receive buffers, so that back-pressure
 * reaches the client within a few kilobytes. It can also cut its clients off while the server goes on seeing their
 * connections for a while, as after a network failure the server has not noticed yet.
 */
public final class ThrottlingRelay implements AutoCloseable {
    private static final int RECEIVE_BUFFER = 8 * 1024;
    private static final int PIECE = 4 * 1024;

    private final ServerSocket server;
    private final int upstreamPort;
    private final List<Socket> sockets = new ArrayList<>();
    private final List<Socket> clients = new ArrayList<>();
    private volatile long holdUpstreamUntil;
    private volatile long bytesPerSecond;
    private volatile boolean paused;
    private volatile boolean closed;

    /**
     * Starts relaying to 127.0.0.1:upstreamPort.
     *
     * @param upstreamPort the server's port
     * @param bytesPerSecond the rate clients are read at; 0 for no limit
     */
    public ThrottlingRelay(int upstreamPort, long bytesPerSecond) throws IOException {
        this.upstreamPort = upstreamPort;
        this.bytesPerSecond = bytesPerSecond;
        server = new ServerSocket();
        server.setReceiveBufferSize(RECEIVE_BUFFER); // accepted sockets inherit it
        server.bind(new InetSocketAddress(InetAddress.getLoopbackAddress(), 0));
        Thread t = new Thread(this::acceptLoop, "relay-accept");
        t.setDaemon(true);
        t.start();
    }

    /** rtmp://127.0.0.1:PORT/APP/STREAM through the relay. */
    public String url(String app, String stream) {
        return "rtmp://127.0.0.1:" + server.getLocalPort() + "/" + app + "/" + stream;
    }

    /** Reads clients at this rate from now on; 0 for no limit. */
    public void rate(long bytesPerSecond) {
        this.bytesPerSecond = bytesPerSecond;
    }

    /** Stops reading from every client, present and future, until {@link #resume}. */
    public void pause() {
        paused = true;
    }

    public void resume() {
        paused = false;
    }

    /**
     * Closes every client's connection at once; the server's side of each stays open for hold, then goes too.
     *
     * @param hold how long the server keeps seeing the cut connections
     */
    public void cutClients(Duration hold) {
        holdUpstreamUntil = System.nanoTime() + hold.toNanos();
        synchronized (sockets) {
            clients.forEach(ThrottlingRelay::closeQuietly);
            clients.clear();
        }
    }

    private void acceptLoop() {
        while (!closed) {
            try {
                Socket client = server.accept();
                Socket upstream = new Socket(InetAddress.getLoopbackAddress(), upstreamPort);
                synchronized (sockets) {
                    sockets.add(client);
                    sockets.add(upstream);
                    clients.add(client);
                }
                pump(client, upstream, true);
                pump(upstream, client, false);
            } catch (IOException e) {
                if (!closed) {
                    System.err.println("relay: " + e);
                }
            }
        }
    }

    private void pump(Socket from, Socket to, boolean throttled) {
        Thread t = new Thread(() -> {
            byte[] buf = new byte[PIECE];
            long start = System.nanoTime();
            long moved = 0;
            try {
                // Closing a socket's stream closes the socket: the streams are left to the finally below.
                InputStream in = from.getInputStream();
                OutputStream out = to.getOutputStream();
                while (true) {
                    while (throttled && paused && !closed) {
                        Thread.sleep(5);
                        start = System.nanoTime(); // no credit for the pause
                        moved = 0;
                    }
                    int n = in.read(buf);
                    if (n < 0) {
                        break;
                    }
                    out.write(buf, 0, n);
                    moved += n;
                    long rate = bytesPerSecond;
                    if (throttled && rate > 0) {
                        long due = start + moved * 1_000_000_000L / rate;
                        long wait = due - System.nanoTime();
                        if (wait > 0) {
                            TimeUnit.NANOSECONDS.sleep(wait);
                        }
                    }
                }
            } catch (IOException | InterruptedException e) {
                // one side went away: the other goes too
            } finally {
                closeQuietly(throttled ? from : to); // the client
                long hold = holdUpstreamUntil - System.nanoTime();
                if (hold > 0 && !closed) {
                    try {
                        TimeUnit.NANOSECONDS.sleep(hold);
                    } catch (InterruptedException e) {
                        Thread.currentThread().interrupt();
                    }
                }
                closeQuietly(throttled ? to : from); // the server
            }
        }, throttled ? "relay-up" : "relay-down");
        t.setDaemon(true);
        t.start();
    }

    private static void closeQuietly(Socket s) {
        try {
            s.close();
        } catch (IOException e) {
            // already gone
        }
    }

    @Override
    public void close() throws IOException {
        closed = true;
        server.close();
        synchronized (sockets) {
            sockets.forEach(ThrottlingRelay::closeQuietly);
        }
    }
}
