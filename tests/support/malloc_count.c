/* Counts calls into the C allocator, for checking that a hot path allocates
 * nothing natively. Preloaded into a child interpreter; read via ctypes. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stddef.h>

static unsigned long long calls;
static void* (*real_malloc)(size_t);
static void* (*real_calloc)(size_t, size_t);
static void* (*real_realloc)(void*, size_t);

/* dlsym may itself call calloc; serve that from a static buffer. */
static char bootstrap[4096];
static size_t bootstrap_used;

static void* bootstrap_alloc(size_t size) {
    size = (size + 15) & ~(size_t)15;
    if (bootstrap_used + size > sizeof bootstrap) return NULL;
    void* p = bootstrap + bootstrap_used;
    bootstrap_used += size;
    return p;
}

unsigned long long qm_malloc_calls(void) { return calls; }

void* malloc(size_t size) {
    if (!real_malloc) real_malloc = dlsym(RTLD_NEXT, "malloc");
    __atomic_add_fetch(&calls, 1, __ATOMIC_RELAXED);
    return real_malloc(size);
}

void* calloc(size_t n, size_t size) {
    if (!real_calloc) {
        static int resolving;
        if (resolving) {
            void* p = bootstrap_alloc(n * size);
            return p; /* static storage is already zeroed */
        }
        resolving = 1;
        real_calloc = dlsym(RTLD_NEXT, "calloc");
        resolving = 0;
    }
    __atomic_add_fetch(&calls, 1, __ATOMIC_RELAXED);
    return real_calloc(n, size);
}

void* realloc(void* ptr, size_t size) {
    if (!real_realloc) real_realloc = dlsym(RTLD_NEXT, "realloc");
    __atomic_add_fetch(&calls, 1, __ATOMIC_RELAXED);
    return real_realloc(ptr, size);
}
