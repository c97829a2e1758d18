// Internal helpers around the publisher context: the lock guard, atomic
// access to the fields that threads share outside a lock, what the context
// keeps beside its public record, and the context maker behind
// tavrel_connect.
#ifndef TAVREL_CONTEXT_H
#define TAVREL_CONTEXT_H

#include "Tavrel.h"

#include <pthread.h>

namespace tavrel {

// The largest body one RTMP message (and one FLV tag) can carry: its length
// field has 24 bits.
constexpr uint32_t kMaxMessageBody = 0xFFFFFF;

// Holds a pthread mutex for one scope.
class MutexLock {
public:
    explicit MutexLock(pthread_mutex_t *mutex) : mutex_(mutex) { pthread_mutex_lock(mutex_); }
    ~MutexLock() { pthread_mutex_unlock(mutex_); }
    MutexLock(const MutexLock &) = delete;
    MutexLock &operator=(const MutexLock &) = delete;

private:
    pthread_mutex_t *mutex_;
};

// The record's layout is fixed, so its shared fields stay plain; these
// give them atomic access. connection_state and stream_id are written under
// state_mutex and read there for decisions, but a send re-reads the state
// under rtmp_mutex (the two mutexes are never held together) and the packet
// log reads stream_id; the capacities grow on a media thread while the Java
// getters read them on another.
template <typename T>
T load_shared(const T &field)
{
    return __atomic_load_n(&field, __ATOMIC_ACQUIRE);
}

template <typename T>
void store_shared(T &field, T value)
{
    __atomic_store_n(&field, value, __ATOMIC_RELEASE);
}

inline RTMP_CONN load_state(const RTMPDumpCtx *ctx) { return load_shared(ctx->connection_state); }
inline void store_state(RTMPDumpCtx *ctx, RTMP_CONN state) { store_shared(ctx->connection_state, state); }

struct MessageWriter;
struct ServerReader;

// How long a close waits for the server to take everything in, unless
// tavrel_set_close_timeout says otherwise.
constexpr int kDefaultCloseTimeoutMs = 3000;

// What a context keeps beside its public record, whose layout callers know:
// the writer every message of its connection goes through and the reader of
// what the server sends meanwhile (both used under rtmp_mutex), the
// outgoing chunk size chosen for it, sent again after every reconnection,
// the socket's send bounds, set again on every new socket, and what its end
// and its delivery figures need.
struct SendState {
    MessageWriter *writer;
    ServerReader *reader;
    int chunk_size;        // 0 until tavrel_set_chunk_size succeeds (the server assumes 128)
    int send_timeout_ms;   // 0: a send may block as long as the kernel lets it
    int unsent_limit;      // bytes the kernel may hold unsent; 0: its own (megabytes)
    int close_timeout_ms;  // the bound of the graceful end
    int is_finished;       // the publish has been ended (tavrel_finish); written under rtmp_mutex, atomically
    // Bytes of chunk stream librtmp wrote outside the writer (the connect,
    // a stream reconnection): the link's count less the writer's, taken
    // when the context was made and after each stream reconnection.
    uint64_t bytes_outside_writer;
};

// Takes the count of the bytes librtmp wrote outside the writer; under
// rtmp_mutex (or before the context is shared).
void note_bytes_outside_writer(RTMPDumpCtx *ctx);

// The graceful end a close of a publishing context begins with, unless
// tavrel_finish has done it; takes rtmp_mutex. True when the publish has
// ended that way (the connection then sends nothing more at close).
bool finish_before_close(RTMPDumpCtx *ctx);

// The context as context_new allocates it: the public record first, so
// that the context's address is the shell's.
struct ContextShell {
    RTMPDumpCtx ctx;
    SendState send;
};

inline SendState &send_state(RTMPDumpCtx *ctx) { return reinterpret_cast<ContextShell *>(ctx)->send; }

// The settings a context is made with, and that its clone and its full
// reconnection pass on.
struct ContextSettings {
    int use_rtmp_write;
    int is_rtmp_queue;
    int is_log_audio;
    int is_log_video;
    uint32_t a_body_max_len;  // largest audio payload expected
    uint32_t v_body_max_len;  // largest video payload expected
    int chunk_size = 0;       // outgoing chunk size to send after connecting; 0: none
    int send_timeout_ms = 0;  // send bound to set on the new socket; 0: none
    int unsent_limit = 0;     // unsent bytes the new socket may hold; 0: the kernel's
    int close_timeout_ms = kDefaultCloseTimeoutMs;  // the bound of the graceful end
};

// A context around a connected, published record. Takes over rtmp, the
// three heap texts (malloc'd, NUL-terminated; username and password may be
// null) and one reference to logger, but only on success: on failure (null
// result) all of them stay the caller's.
RTMPDumpCtx *context_new(RTMP *rtmp, char *url, char *username, char *password, const ContextSettings &settings,
                         Logger *logger);

// Releases what context_new made and the context itself, without touching
// the connection record, the texts or the logger. Only for contexts
// context_new made.
void context_free_shell(RTMPDumpCtx *ctx);

// Initial body capacity for a largest expected payload, as tavrel_connect
// stores it (tag header and FLV framing added; at most what one RTMP
// message can carry).
uint32_t initial_body_capacity(int is_audio, int use_rtmp_write, uint32_t payload_max_len);

}  // namespace tavrel

#endif
