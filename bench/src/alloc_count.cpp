// libbench_alloc_count.so: counts heap calls for `tavrel_bench once --alloc`
// (LD_PRELOAD). Forwards to glibc's own allocator entry points.
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>

extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void __libc_free(void *);
void *__libc_memalign(size_t, size_t);

struct BenchAllocCounts {
    uint64_t mallocs, frees, reallocs;
};
}

namespace {
uint64_t n_malloc, n_free, n_realloc;  // the bench process sends from one thread
}

extern "C" {

__attribute__((visibility("default"))) void bench_alloc_counts(BenchAllocCounts *out)
{
    out->mallocs = __atomic_load_n(&n_malloc, __ATOMIC_RELAXED);
    out->frees = __atomic_load_n(&n_free, __ATOMIC_RELAXED);
    out->reallocs = __atomic_load_n(&n_realloc, __ATOMIC_RELAXED);
}

__attribute__((visibility("default"))) void *malloc(size_t n)
{
    __atomic_add_fetch(&n_malloc, 1, __ATOMIC_RELAXED);
    return __libc_malloc(n);
}
__attribute__((visibility("default"))) void *calloc(size_t n, size_t m)
{
    __atomic_add_fetch(&n_malloc, 1, __ATOMIC_RELAXED);
    return __libc_calloc(n, m);
}
__attribute__((visibility("default"))) void *realloc(void *p, size_t n)
{
    __atomic_add_fetch(&n_realloc, 1, __ATOMIC_RELAXED);
    return __libc_realloc(p, n);
}
__attribute__((visibility("default"))) void free(void *p)
{
    if (p)
        __atomic_add_fetch(&n_free, 1, __ATOMIC_RELAXED);
    __libc_free(p);
}
__attribute__((visibility("default"))) void *memalign(size_t a, size_t n)
{
    __atomic_add_fetch(&n_malloc, 1, __ATOMIC_RELAXED);
    return __libc_memalign(a, n);
}
__attribute__((visibility("default"))) void *aligned_alloc(size_t a, size_t n) { return memalign(a, n); }
__attribute__((visibility("default"))) int posix_memalign(void **out, size_t a, size_t n)
{
    void *p = memalign(a, n);
    if (!p)
        return ENOMEM;
    *out = p;
    return 0;
}

}  // extern "C"
