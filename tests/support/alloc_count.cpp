// An LD_PRELOAD library that counts the heap allocations of a process and,
// when it exits normally, writes the count to the file named by
// DORQIN_ALLOC_COUNT_FILE. Comparing the counts of two runs that differ
// only in the number of reports shows whether the relay allocates per
// event: whatever it allocates once is the same in both.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* block, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
}

namespace {

unsigned long allocations = 0;

void Count() { __atomic_add_fetch(&allocations, 1, __ATOMIC_RELAXED); }

__attribute__((destructor)) void WriteCount() {
    const char* path = getenv("DORQIN_ALLOC_COUNT_FILE");
    if (!path || !*path) return;
    char text[24];
    int at = sizeof text;
    text[--at] = '\n';
    unsigned long n = __atomic_load_n(&allocations, __ATOMIC_RELAXED);
    do {
        text[--at] = static_cast<char>('0' + n % 10);
        n /= 10;
    } while (n != 0);
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return;
    if (write(fd, text + at, sizeof text - at) < 0) {
    }
    close(fd);
}

}  // namespace

extern "C" {

void* malloc(size_t size) {
    Count();
    return __libc_malloc(size);
}

void* calloc(size_t count, size_t size) {
    Count();
    return __libc_calloc(count, size);
}

void* realloc(void* block, size_t size) {
    Count();
    return __libc_realloc(block, size);
}

void* memalign(size_t alignment, size_t size) {
    Count();
    return __libc_memalign(alignment, size);
}

void* aligned_alloc(size_t alignment, size_t size) {
    Count();
    return __libc_memalign(alignment, size);
}

int posix_memalign(void** out, size_t alignment, size_t size) {
    Count();
    void* block = __libc_memalign(alignment, size);
    if (!block) return 12;  // ENOMEM
    *out = block;
    return 0;
}

}  // extern "C"
