package tessora.apps.publish;

import java.io.IOException;
import java.io.PrintStream;
import java.nio.file.Path;
import java.time.Duration;
import java.util.ArrayList;
import java.util.List;
import java.util.logging.ConsoleHandler;
import java.util.logging.Level;
import java.util.logging.Logger;

import tessora.streaming.media.reader.MediaReader;
import tessora.streaming.rtmpdump.Publisher;
import tessora.streaming.session.RetryPolicy;
import tessora.streaming.session.Session;

/**
 * The command line: publish a media file in real time to an RTMP URL, or, without arguments, the demo. The
 * Main-Class of the tessora-streaming jar.
 */
public final class PublishApp {
    private static final String USAGE = String.join("\n",
            "usage: publish [options] URL FILE            (MP4, FLV, raw H.264 or ADTS AAC, told by content)",
            "       publish [options] URL FILE.h264 FILE.aac",
            "       publish [--flv-write] [--seconds N]      (no URL: the local demo)",
            "  -u, --user NAME        publisher user name (adobe / llnw authentication)",
            "  -p, --password SECRET  publisher password",
            "  --flv-write            send FLV tags through the FLV stream writer instead of RTMP packets",
            "  --chunk-size N         outgoing RTMP chunk size (default 4096)",
            "  --tls-ca FILE          RTMPS: trust the certificate authorities in this PEM file",
            "  --tls-insecure         RTMPS: do not verify the server's certificate",
            "  --fps N                frame rate of a raw .h264 stream (default 30)",
            "  --fast                 send as fast as the connection takes it, not in real time",
            "  --retries N            connect attempts after a lost connection, or at the start (default: no limit)",
            "  --retry-deadline S     give up S seconds after the connection was lost (default 300; 0: never)",
            "  --json                 end standard output with the run's figures as one line of JSON",
            "  --seconds N            length of the demo clip (default 10)",
            "  -v, --verbose          the publisher's and librtmp's messages from level FINE on stderr\n"
            + "                         (without: warnings and errors)");

    /** Held, so that the levels set here stay with the logger (the log manager keeps it weakly). */
    private static final Logger NATIVE_LOG = Logger.getLogger(Publisher.LOGGER_NAME);

    private PublishApp() {}

    /**
     * Runs the command line and exits with its code: 0 when every frame was sent, 3 when the whole file went through
     * with frames dropped (around a reconnection, congestion), 1 on failure, 2 for a bad command line.
     *
     * @param args the options, the URL and the files
     */
    public static void main(String[] args) {
        int code;
        try {
            code = run(args, System.out);
        } catch (IllegalArgumentException e) {
            System.err.println("publish: " + e.getMessage());
            System.err.println(USAGE);
            code = 2;
        } catch (IOException | UnsatisfiedLinkError e) {
            // A session that ended by itself says why; natives that could not be loaded name what is missing.
            System.err.println("publish: " + e.getMessage());
            code = 1;
        } catch (InterruptedException e) {
            code = 130;
        }
        System.exit(code);
    }

    static int run(String[] args, PrintStream out) throws IOException, InterruptedException {
        Options o = Options.parse(args);
        if (o.help) {
            out.println(USAGE);
            return 0;
        }
        if (o.verbose) {
            verboseLogging();
        }
        List<String> positional = o.positional;
        if (positional.isEmpty()) {
            return Demo.run(out, o.flvWrite, o.seconds);
        }
        if (positional.size() < 2 || positional.size() > 3) {
            throw new IllegalArgumentException("give a URL and a media file");
        }
        Progress progress = new Progress();
        Progress.Outcome outcome = Progress.Outcome.FAILED;
        String error = null;
        try (MediaReader reader = Input.open(positional.subList(1, positional.size()), o.fps)) {
            String url = positional.get(0);
            boolean complete = new Streamer(session(o, url), reader, out, !o.fast, progress).run(url, o.flvWrite);
            outcome = progress.outcome(complete);
            return outcome.exitCode;
        } catch (IOException | RuntimeException e) {
            error = e.getMessage();
            throw e;
        } finally {
            if (o.json) {
                out.println(progress.json(outcome, error));
            }
        }
    }

    /** The session as the options describe it. */
    private static Session.Builder session(Options o, String url) {
        RetryPolicy retry = RetryPolicy.DEFAULT.limitedTo(o.retryDeadline, o.retries);
        return Session.builder(url).credentials(o.user, o.password).flvWrite(o.flvWrite).chunkSize(o.chunkSize)
                .tls(!o.tlsInsecure, o.tlsCa).retry(retry);
    }

    /** The command line as read: the options, then the URL and the files. */
    private static final class Options {
        String user;
        String password;
        boolean flvWrite;
        boolean tlsInsecure;
        Path tlsCa;
        int chunkSize = Publisher.DEFAULT_CHUNK_SIZE;
        boolean fast;
        boolean verbose;
        boolean help;
        boolean json;
        int fps = 30;
        int retries;
        Duration retryDeadline = RetryPolicy.DEFAULT.deadline();
        int seconds = 10;
        final List<String> positional = new ArrayList<>();

        /** Reads up to the first -h, which makes the rest irrelevant. */
        static Options parse(String[] args) {
            Options o = new Options();
            for (int i = 0; i < args.length && !o.help; i++) {
                String a = args[i];
                switch (a) {
                    case "-u", "--user" -> o.user = value(args, ++i, a);
                    case "-p", "--password" -> o.password = value(args, ++i, a);
                    case "--flv-write" -> o.flvWrite = true;
                    case "--chunk-size" -> o.chunkSize = positive(number(value(args, ++i, a), a), a);
                    case "--tls-ca" -> o.tlsCa = Path.of(value(args, ++i, a));
                    case "--tls-insecure" -> o.tlsInsecure = true;
                    case "--fast" -> o.fast = true;
                    case "-v", "--verbose" -> o.verbose = true;
                    case "--fps" -> o.fps = number(value(args, ++i, a), a);
                    case "--retries" -> o.retries = positive(number(value(args, ++i, a), a), a);
                    case "--retry-deadline" -> o.retryDeadline = Duration.ofSeconds(number(value(args, ++i, a), a));
                    case "--seconds" -> o.seconds = number(value(args, ++i, a), a);
                    case "--json" -> o.json = true;
                    case "-h", "--help" -> o.help = true;
                    default -> {
                        if (a.startsWith("-")) {
                            throw new IllegalArgumentException("unknown option " + a);
                        }
                        o.positional.add(a);
                    }
                }
            }
            return o;
        }
    }

    private static String value(String[] args, int i, String option) {
        if (i >= args.length) {
            throw new IllegalArgumentException(option + " needs a value");
        }
        return args[i];
    }

    private static int number(String s, String option) {
        try {
            int n = Integer.parseInt(s);
            if (n >= 0) {
                return n;
            }
        } catch (NumberFormatException e) {
            // reported below
        }
        throw new IllegalArgumentException(option + " needs a number, not " + s);
    }

    private static int positive(int n, String option) {
        if (n == 0) {
            throw new IllegalArgumentException(option + " needs a number above 0");
        }
        return n;
    }

    /** The publisher's and librtmp's messages from FINE on, on stderr (without -v: from INFO on, as by default). */
    private static void verboseLogging() {
        NATIVE_LOG.setUseParentHandlers(false);
        ConsoleHandler h = new ConsoleHandler();
        h.setLevel(Level.FINE);
        NATIVE_LOG.addHandler(h);
        NATIVE_LOG.setLevel(Level.FINE);
    }
}
