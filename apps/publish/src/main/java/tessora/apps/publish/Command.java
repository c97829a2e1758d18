package tessora.apps.publish;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.util.List;
import java.util.concurrent.TimeUnit;

/** Runs an outside program (FFmpeg, ffprobe) to its end within a time limit and keeps its output. */
final class Command {
    private Command() {}

    record Result(int exitCode, String output) {}

    static Result run(long timeoutSeconds, List<String> argv) throws IOException, InterruptedException {
        Process p = new ProcessBuilder(argv).redirectErrorStream(true).redirectInput(ProcessBuilder.Redirect.PIPE)
                .start();
        p.getOutputStream().close();
        // Output is read on its own thread so that a chatty program never blocks on a full pipe.
        StringBuilder text = new StringBuilder();
        Thread reader = new Thread(() -> {
            try {
                text.append(new String(p.getInputStream().readAllBytes(), StandardCharsets.UTF_8));
            } catch (IOException e) {
                text.append(e);
            }
        });
        reader.start();
        if (!p.waitFor(timeoutSeconds, TimeUnit.SECONDS)) {
            p.destroyForcibly();
            p.waitFor(5, TimeUnit.SECONDS);
            reader.join(5000);
            throw new IOException(argv.get(0) + " did not finish within " + timeoutSeconds + " s");
        }
        reader.join(5000);
        synchronized (text) {
            return new Result(p.exitValue(), text.toString());
        }
    }

    /** Runs and returns the output; throws when the program fails. */
    static String check(long timeoutSeconds, List<String> argv) throws IOException, InterruptedException {
        Result r = run(timeoutSeconds, argv);
        if (r.exitCode() != 0) {
            throw new IOException(String.join(" ", argv) + " failed (" + r.exitCode() + "): " + r.output());
        }
        return r.output();
    }
}
