// The detailed result of the last connect on each thread, and the coarse
// code that connect_rtmp_w and tavrel_test_connect report for it.
#ifndef TAVREL_RTMPDUMPUTIL_CONNECT_RESULT_H
#define TAVREL_RTMPDUMPUTIL_CONNECT_RESULT_H

namespace tavrel {

// The coarse code of a detailed result (TAVREL_CONNECT_RESULT).
int coarse_connect_code(int detailed);

// Records detailed as this thread's last connect result and gives its
// coarse code.
int finish_connect(int detailed);

}  // namespace tavrel

#endif
