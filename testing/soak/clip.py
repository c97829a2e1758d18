"""The clip the soak publishes and what a recording holds, both through FFmpeg."""
import os
import subprocess

# Same codecs as the tests' clips (testing/make-clips), at a size that keeps a long clip quick to make.
FORMAT = "v1 640x360 30fps x264 bf2 g60 800k aac44k"


def make(clips_dir, seconds):
    """A clip of `seconds`, made once per folder and length."""
    os.makedirs(clips_dir, exist_ok=True)
    path = os.path.join(clips_dir, f"soak-{seconds}s.flv")
    stamp = path + ".stamp"
    if os.path.exists(path) and os.path.exists(stamp) and open(stamp).read() == FORMAT:
        return path
    tmp = path + ".part.flv"
    subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-y",
                    "-f", "lavfi", "-i", "testsrc2=size=640x360:rate=30",
                    "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=44100",
                    "-t", str(seconds), "-map", "0:v", "-map", "1:a",
                    "-c:v", "libx264", "-preset", "veryfast", "-profile:v", "high", "-pix_fmt", "yuv420p",
                    "-b:v", "800k", "-bf", "2", "-g", "60", "-keyint_min", "60", "-sc_threshold", "0",
                    "-c:a", "aac", "-b:a", "96k", "-ar", "44100", "-ac", "2", "-f", "flv", tmp],
                   check=True, timeout=max(120, 2 * seconds))
    os.replace(tmp, path)
    with open(stamp, "w") as f:
        f.write(FORMAT)
    return path


def frames(path):
    """(video, audio) packets that ffprobe reads from a file; a recording cut by a crash reads up to its cut."""
    out = subprocess.run(["ffprobe", "-v", "error", "-count_packets", "-show_entries",
                          "stream=codec_type,nb_read_packets", "-of", "csv=p=0", path],
                         capture_output=True, text=True, timeout=120).stdout
    counts = {"video": 0, "audio": 0}
    for line in out.splitlines():
        kind, _, n = line.partition(",")
        if kind in counts and n.strip().isdigit():
            counts[kind] += int(n)
    return counts["video"], counts["audio"]
