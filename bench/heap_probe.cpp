// heap_probe.so: an LD_PRELOAD library that follows a process's heap through
// every allocation function of the C library (operator new among their
// callers) and at exit appends a line to the file HEAP_PROBE_LOG names, when
// set: "pid <pid> peak <bytes> largest <bytes> allocations <count>", the most
// heap in use at once and the largest block, in malloc_usable_size bytes.
// Memory a program maps itself is not heap and is not counted.
#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* pointer, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
void __libc_free(void* pointer);
}

namespace {

std::atomic<std::uint64_t> g_inUse{0};
std::atomic<std::uint64_t> g_peak{0};
std::atomic<std::uint64_t> g_largest{0};
std::atomic<std::uint64_t> g_allocations{0};

void RaiseTo(std::atomic<std::uint64_t>& value, std::uint64_t candidate) {
  std::uint64_t seen = value.load(std::memory_order_relaxed);
  while (candidate > seen &&
         !value.compare_exchange_weak(seen, candidate, std::memory_order_relaxed)) {
  }
}

void* Gained(void* pointer) {
  if (pointer != nullptr) {
    const std::uint64_t size = malloc_usable_size(pointer);
    const std::uint64_t now = g_inUse.fetch_add(size, std::memory_order_relaxed) + size;
    RaiseTo(g_peak, now);
    RaiseTo(g_largest, size);
    g_allocations.fetch_add(1, std::memory_order_relaxed);
  }
  return pointer;
}

void Losing(void* pointer) {
  if (pointer != nullptr) {
    g_inUse.fetch_sub(malloc_usable_size(pointer), std::memory_order_relaxed);
  }
}

__attribute__((destructor)) void Report() {
  const char* path = std::getenv("HEAP_PROBE_LOG");
  if (path == nullptr || *path == '\0') {
    return;
  }
  // The counts are read before snprintf could allocate.
  char line[256];
  const int length = std::snprintf(
      line, sizeof line, "pid %d peak %" PRIu64 " largest %" PRIu64 " allocations %" PRIu64 "\n",
      static_cast<int>(getpid()), g_peak.load(), g_largest.load(), g_allocations.load());
  const int saved = errno;
  const int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd >= 0) {
    // One write of a short line keeps appends from several processes whole;
    // a failure cannot be reported at exit.
    [[maybe_unused]] const ssize_t written = write(fd, line, static_cast<std::size_t>(length));
    close(fd);
  }
  errno = saved;
}

}  // namespace

extern "C" {

void* malloc(std::size_t size) {
  return Gained(__libc_malloc(size));
}

void* calloc(std::size_t count, std::size_t size) {
  return Gained(__libc_calloc(count, size));
}

void* realloc(void* pointer, std::size_t size) {
  // The old block's size must be read before realloc may release it.
  Losing(pointer);
  void* result = __libc_realloc(pointer, size);
  if (result == nullptr && pointer != nullptr && size != 0) {
    return Gained(pointer);  // failed: the old block stays
  }
  return Gained(result);
}

void free(void* pointer) {
  Losing(pointer);
  __libc_free(pointer);
}

void* memalign(std::size_t alignment, std::size_t size) {
  return Gained(__libc_memalign(alignment, size));
}

void* aligned_alloc(std::size_t alignment, std::size_t size) {
  return Gained(__libc_memalign(alignment, size));
}

int posix_memalign(void** result, std::size_t alignment, std::size_t size) {
  if (alignment < sizeof(void*) || (alignment & (alignment - 1)) != 0) {
    return EINVAL;
  }
  void* pointer = Gained(__libc_memalign(alignment, size));
  if (pointer == nullptr) {
    return ENOMEM;
  }
  *result = pointer;
  return 0;
}

void* valloc(std::size_t size) {
  return Gained(__libc_memalign(getpagesize(), size));
}

void* pvalloc(std::size_t size) {
  const std::size_t page = static_cast<std::size_t>(getpagesize());
  return Gained(__libc_memalign(page, (size + page - 1) / page * page));
}

}  // extern "C"
