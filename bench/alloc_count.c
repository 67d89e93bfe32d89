/* Heap-call counter for the relay benchmarks: preloaded into the program under test, it counts
 * every malloc-family call into a small shared file that the load driver reads while it runs. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

/* The layout the driver reads (bench/relay_load.cpp keeps the same one). */
struct AllocCounters {
    uint64_t allocations; /* malloc, calloc, realloc, memalign and friends */
    uint64_t frees;       /* free of a non-null pointer */
    uint64_t bytes;       /* bytes asked for */
};

/* glibc's own entry points: calling them needs no dlsym, which would allocate itself. */
extern void* __libc_malloc(size_t);
extern void* __libc_calloc(size_t, size_t);
extern void* __libc_realloc(void*, size_t);
extern void* __libc_memalign(size_t, size_t);
extern void __libc_free(void*);

static struct AllocCounters g_early; /* until the shared file is mapped */
static struct AllocCounters* g_counters = &g_early;

static void Count(size_t bytes) {
    __atomic_fetch_add(&g_counters->allocations, 1, __ATOMIC_RELAXED);
    __atomic_fetch_add(&g_counters->bytes, bytes, __ATOMIC_RELAXED);
}

__attribute__((constructor)) static void MapCounters(void) {
    const char* path = getenv("BRISCA_BENCH_ALLOC_FILE");
    if (!path || !*path) return;
    const int fd = open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0) return;
    void* p = mmap(NULL, sizeof(struct AllocCounters), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (p == MAP_FAILED) return;
    struct AllocCounters* shared = (struct AllocCounters*)p;
    shared->allocations = g_early.allocations;
    shared->frees = g_early.frees;
    shared->bytes = g_early.bytes;
    __atomic_store_n(&g_counters, shared, __ATOMIC_RELEASE);
}

void* malloc(size_t n) {
    Count(n);
    return __libc_malloc(n);
}

void* calloc(size_t count, size_t size) {
    Count(count * size);
    return __libc_calloc(count, size);
}

void* realloc(void* p, size_t n) {
    Count(n);
    return __libc_realloc(p, n);
}

void free(void* p) {
    if (p) __atomic_fetch_add(&g_counters->frees, 1, __ATOMIC_RELAXED);
    __libc_free(p);
}

void* memalign(size_t alignment, size_t n) {
    Count(n);
    return __libc_memalign(alignment, n);
}

void* aligned_alloc(size_t alignment, size_t n) {
    Count(n);
    return __libc_memalign(alignment, n);
}

int posix_memalign(void** out, size_t alignment, size_t n) {
    if (alignment < sizeof(void*) || (alignment & (alignment - 1)) != 0) return EINVAL;
    Count(n);
    void* p = __libc_memalign(alignment, n);
    if (!p) return ENOMEM;
    *out = p;
    return 0;
}

void* valloc(size_t n) {
    Count(n);
    return __libc_memalign((size_t)sysconf(_SC_PAGESIZE), n);
}
