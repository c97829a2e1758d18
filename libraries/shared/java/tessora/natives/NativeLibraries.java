package tessora.natives;

import java.io.File;
import java.io.IOException;
import java.io.InputStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.StandardCopyOption;
import java.nio.file.attribute.FileAttribute;
import java.nio.file.attribute.PosixFilePermission;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.ArrayList;
import java.util.HashSet;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.Set;

/**
 * Loads the project's native libraries for the classes that declare native methods; internal to the jar.
 *
 * <p>Where from, decided once per process: when every library the jar carries lies in a folder of
 * {@code java.library.path} (an installed prefix, a build folder), from there; otherwise from copies of the ones the
 * jar carries, extracted once per version and build into a private folder of the user
 * ({@code $XDG_CACHE_HOME/tessora-streaming} or {@code ~/.cache/tessora-streaming}, owner-only; the temporary
 * folder's {@code tessora-streaming-USER} when the home is not writable). Several JVMs may start at once: each
 * extracts into a folder of its own and renames it into place, the first one wins and the others use its copy.
 * A library's own libraries are loaded before it, by full path, so that no other copy of them on the system is
 * picked up. A jar without libraries (the per-library jars of the build) loads by name from
 * {@code java.library.path}.
 *
 * <p>When a system library is missing, the error names the Debian package that provides it.
 */
public final class NativeLibraries {
    private static final String PLATFORM = "linux-x86_64";
    private static final String RESOURCES = "/tessora/natives/" + PLATFORM + "/";
    private static final String INDEX = RESOURCES + "libraries.list";
    private static final FileAttribute<Set<PosixFilePermission>> OWNER_ONLY =
            PosixFilePermissions.asFileAttribute(PosixFilePermissions.fromString("rwx------"));

    /** What our libraries link from the system, by soname, and the Debian package that has it. */
    private static final Map<String, String> SYSTEM_PACKAGES = Map.of(
            "librtmp.so.1", "librtmp1",
            "libgnutls.so.30", "libgnutls30",
            "libnettle.so.8", "libnettle8",
            "libhogweed.so.6", "libhogweed6",
            "libcrypto.so.3", "libssl3",
            "libgmp.so.10", "libgmp10",
            "libz.so.1", "zlib1g",
            "libstdc++.so.6", "libstdc++6",
            "libgcc_s.so.1", "libgcc-s1");

    private static final Set<String> LOADED = new HashSet<>();
    private static Index index;
    private static Path folder; // null: by name from java.library.path

    private NativeLibraries() {}

    /**
     * Loads a library (by its short name, {@code "tavrel"} for libtavrel.so) and the libraries of the jar it
     * needs; nothing when it is loaded already.
     *
     * @param name the library's name without "lib" and ".so"
     * @throws UnsatisfiedLinkError when it cannot be found, extracted or loaded; the message says why and, for a
     *     missing system library, which Debian package to install
     */
    public static synchronized void load(String name) {
        if (LOADED.contains(name)) {
            return;
        }
        try {
            if (index == null) {
                index = Index.read();
                folder = index.isEmpty() || index.allIn(libraryPath()) ? null : Extraction.folderFor(index);
            }
        } catch (IOException e) {
            UnsatisfiedLinkError error = new UnsatisfiedLinkError("lib" + name + ".so: " + e.getMessage());
            error.initCause(e);
            throw error;
        }
        loadWithNeeds(System.mapLibraryName(name));
    }

    private static void loadWithNeeds(String file) {
        String name = shortName(file);
        if (LOADED.contains(name)) {
            return;
        }
        for (String needed : index.needs(file)) {
            loadWithNeeds(needed);
        }
        try {
            if (folder == null) {
                System.loadLibrary(name);
            } else {
                System.load(folder.resolve(file).toString());
            }
        } catch (UnsatisfiedLinkError e) {
            throw explained(e);
        }
        LOADED.add(name);
    }

    private static String shortName(String file) {
        return file.substring("lib".length(), file.length() - ".so".length());
    }

    private static List<Path> libraryPath() {
        List<Path> dirs = new ArrayList<>();
        for (String dir : System.getProperty("java.library.path", "").split(File.pathSeparator)) {
            if (!dir.isEmpty()) {
                dirs.add(Paths.get(dir));
            }
        }
        return dirs;
    }

    /** The loader's error, with the package to install when the dynamic linker misses a system library. */
    static UnsatisfiedLinkError explained(UnsatisfiedLinkError e) {
        String message = String.valueOf(e.getMessage());
        for (Map.Entry<String, String> p : SYSTEM_PACKAGES.entrySet()) {
            // The dynamic linker names the library it could not load, by name when it found none ("libtavrel.so:
            // librtmp.so.1: cannot open shared object file: ...") or by path when the file is unusable
            // ("libtavrel.so: /lib/x86_64-linux-gnu/librtmp.so.1: file too short").
            if (message.contains(": " + p.getKey() + ": ") || message.contains("/" + p.getKey() + ": ")) {
                UnsatisfiedLinkError explained = new UnsatisfiedLinkError(message + " (the system library "
                        + p.getKey() + " could not be loaded: install the Debian package " + p.getValue()
                        + ", apt-get install " + p.getValue() + ")");
                explained.initCause(e);
                return explained;
            }
        }
        return e;
    }

    /**
     * The list of libraries the jar carries ({@code libraries.list}, written by the build): its version line, then
     * one line per library in load order, "file size needed...".
     */
    record Index(String version, Map<String, Long> sizes, Map<String, List<String>> needs) {
        static Index read() throws IOException {
            Map<String, Long> sizes = new LinkedHashMap<>();
            Map<String, List<String>> needs = new LinkedHashMap<>();
            String version = "";
            try (InputStream in = NativeLibraries.class.getResourceAsStream(INDEX)) {
                if (in == null) {
                    return new Index("", sizes, needs);
                }
                for (String line : new String(in.readAllBytes(), StandardCharsets.UTF_8).split("\n")) {
                    String[] f = line.strip().split("\\s+");
                    if (f[0].isEmpty() || f[0].startsWith("#")) {
                        continue;
                    }
                    if (f[0].equals("version") && f.length == 2) {
                        version = f[1];
                    } else if (f.length >= 2 && f[0].endsWith(".so")) {
                        sizes.put(f[0], Long.parseLong(f[1]));
                        needs.put(f[0], List.of(f).subList(2, f.length));
                    } else {
                        throw new IOException("bad line in " + INDEX + ": " + line);
                    }
                }
            } catch (NumberFormatException e) {
                throw new IOException("bad size in " + INDEX, e);
            }
            if (!sizes.isEmpty() && !version.matches("[A-Za-z0-9._-]+")) {
                throw new IOException(INDEX + " has no usable version line");
            }
            return new Index(version, sizes, needs);
        }

        boolean isEmpty() {
            return sizes.isEmpty();
        }

        List<String> needs(String file) {
            return needs.getOrDefault(file, List.of());
        }

        /** Whether every library is a file in one of the folders. */
        boolean allIn(List<Path> dirs) {
            return sizes.keySet().stream()
                    .allMatch(f -> dirs.stream().anyMatch(d -> Files.isRegularFile(d.resolve(f))));
        }

        /** Whether the folder holds every library at its size. */
        boolean completeIn(Path dir) {
            for (Map.Entry<String, Long> lib : sizes.entrySet()) {
                Path p = dir.resolve(lib.getKey());
                try {
                    if (!Files.isRegularFile(p, LinkOption.NOFOLLOW_LINKS) || Files.size(p) != lib.getValue()) {
                        return false;
                    }
                } catch (IOException e) {
                    return false;
                }
            }
            return true;
        }
    }

    /** The private folder and the extraction into it. */
    static final class Extraction {
        private Extraction() {}

        /** The folder that holds this version's libraries, extracted when it does not yet. */
        static Path folderFor(Index index) throws IOException {
            Path base = privateBase();
            Path target = base.resolve(index.version());
            if (index.completeIn(target)) {
                return target;
            }
            Path work = Files.createTempDirectory(base, ".extract-", OWNER_ONLY);
            try {
                for (String file : index.sizes().keySet()) {
                    try (InputStream in = NativeLibraries.class.getResourceAsStream(RESOURCES + file)) {
                        if (in == null) {
                            throw new IOException("the jar lacks " + RESOURCES + file);
                        }
                        Files.copy(in, work.resolve(file));
                    }
                }
                if (!index.completeIn(work)) {
                    throw new IOException("the libraries extracted into " + work + " differ from the jar's list");
                }
                moveIntoPlace(index, work, target);
            } finally {
                deleteTree(work);
            }
            return target;
        }

        /**
         * Renames the extracted folder to its final name. Another JVM may have done so first (then its copy is
         * used); a broken copy (a file deleted by hand) is moved aside first.
         */
        private static void moveIntoPlace(Index index, Path work, Path target) throws IOException {
            for (int attempt = 0;; attempt++) {
                try {
                    Files.move(work, target, StandardCopyOption.ATOMIC_MOVE);
                    return;
                } catch (IOException e) {
                    if (index.completeIn(target)) {
                        return;
                    }
                    if (attempt > 0) {
                        throw new IOException("cannot put the native libraries into " + target + ": " + e, e);
                    }
                    try {
                        Files.move(target, Files.createTempDirectory(target.getParent(), ".stale-", OWNER_ONLY)
                                .resolve("old"), StandardCopyOption.ATOMIC_MOVE);
                    } catch (IOException another) {
                        // someone else moved it; try again
                    }
                }
            }
        }

        /** {@code $XDG_CACHE_HOME} or {@code ~/.cache}, else the temporary folder; one of ours in it. */
        private static Path privateBase() throws IOException {
            String xdg = System.getenv("XDG_CACHE_HOME");
            Path cache = xdg != null && !xdg.isEmpty() && Paths.get(xdg).isAbsolute() ? Paths.get(xdg)
                    : Paths.get(System.getProperty("user.home", ""), ".cache");
            try {
                if (!cache.isAbsolute()) {
                    throw new IOException("no home folder (user.home is " + System.getProperty("user.home") + ")");
                }
                Files.createDirectories(cache, OWNER_ONLY);
                return ownFolder(cache.resolve("tessora-streaming"));
            } catch (IOException e) {
                String user = System.getProperty("user.name", "user").replaceAll("[^A-Za-z0-9._-]", "_");
                Path tmp = Paths.get(System.getProperty("java.io.tmpdir")).resolve("tessora-streaming-" + user);
                try {
                    return ownFolder(tmp);
                } catch (IOException again) {
                    again.addSuppressed(e);
                    throw again;
                }
            }
        }

        /**
         * Makes the folder (owner-only), or takes it when it exists and is ours: a real folder, not a link, owned
         * by the user we run as (told by a file made in it), which then gets owner-only permissions.
         */
        static Path ownFolder(Path dir) throws IOException {
            try {
                Files.createDirectory(dir, OWNER_ONLY);
            } catch (java.nio.file.FileAlreadyExistsException exists) {
                // checked below
            }
            if (!Files.isDirectory(dir, LinkOption.NOFOLLOW_LINKS)) {
                throw new IOException(dir + " is not a folder");
            }
            Path probe = Files.createTempFile(dir, ".owner-", "", PosixFilePermissions.asFileAttribute(
                    PosixFilePermissions.fromString("rw-------")));
            try {
                if (!Files.getOwner(dir, LinkOption.NOFOLLOW_LINKS).equals(Files.getOwner(probe))) {
                    throw new IOException(dir + " belongs to another user");
                }
            } finally {
                Files.delete(probe);
            }
            Files.setPosixFilePermissions(dir, PosixFilePermissions.fromString("rwx------"));
            return dir;
        }

        private static void deleteTree(Path dir) {
            if (!Files.exists(dir, LinkOption.NOFOLLOW_LINKS)) {
                return;
            }
            try (var files = Files.walk(dir)) {
                for (Path p : files.sorted(java.util.Comparator.reverseOrder()).toList()) {
                    Files.deleteIfExists(p);
                }
            } catch (IOException e) {
                // a leftover temporary folder is harmless
            }
        }
    }
}
