// What every hostile-server case checks around the client: the call ends
// by itself (a watchdog aborts the test run otherwise, with the case named),
// and the process holds as many descriptors afterwards as before. SIGPIPE
// is ignored, as in the JVM.
#pragma once

#include <librtmp/log.h>

#include <functional>
#include <string>

namespace hostile {

// How long one call of the client may take against a hostile server: one
// that has stopped reading can take a few of the 2 s send timeouts before
// librtmp gives up (the failed send, then the unpublish it tries while
// closing).
inline constexpr int kCallLimitS = 60;
// Sends of 16 KiB: far more than any socket buffer takes.
inline constexpr int kManySends = 20000;

// Runs fn on this thread; if it has not returned after limit_s seconds the
// whole test program is aborted with `what` on stderr: a hung client would
// otherwise hang the run until ctest kills it, naming nothing.
void run_bounded(const std::string &what, int limit_s, const std::function<void()> &fn);

// Open descriptors of this process (/proc/self/fd).
int open_fds();

// Milliseconds on the monotonic clock.
long long now_ms();

// A librtmp log callback that collects the lines of level warning and
// worse, for the failure messages of the cases.
RTMP_LogCallback *log_capture();
std::string take_captured_log();

}  // namespace hostile
