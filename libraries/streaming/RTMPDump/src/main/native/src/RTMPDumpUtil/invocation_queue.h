// The queue of the client's invocations awaiting the server's answer
// (RTMP.m_methodCalls / m_numCalls), shared with librtmp: the chunk writer
// appends what it sends, the connection takes off what the server answers.
#ifndef TAVREL_RTMPDUMPUTIL_INVOCATION_QUEUE_H
#define TAVREL_RTMPDUMPUTIL_INVOCATION_QUEUE_H

#include <librtmp/rtmp.h>

extern "C" {

/* Appends {copy of av, txn}; the array grows in blocks of 16 entries. */
void AV_queue_v2(RTMP_METHOD **vals, int *num, AVal *av, int txn);
/* The name librtmp's sender uses for the same append. */
void AV_queue(RTMP_METHOD **vals, int *num, AVal *av, int txn);

/* Removes entry i of *num (its name freed when freeit), moving the later
 * ones down and clearing the slot that became free. */
void AV_erase(RTMP_METHOD *vals, int *num, int i, int freeit);

}  // extern "C"

#endif
