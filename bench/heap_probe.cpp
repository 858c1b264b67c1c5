// heap_probe.so: an LD_PRELOAD library that follows a process's heap and,
// when the process exits, appends one line to the file named by the
// environment variable HEAP_PROBE_LOG:
//   pid <pid> peak <bytes> largest <bytes> allocations <count>
// "peak" is the most heap in use at any one time, "largest" the largest
// single block, both in usable bytes as malloc_usable_size reports them.
// Every allocation function of the C library is followed, which covers C++'s
// operator new. Memory that a program maps itself is not heap and is not
// counted. Without HEAP_PROBE_LOG nothing is written.
#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
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

// Formatting without the C library's stdio, which may allocate.
char* AppendText(char* out, const char* text) {
  while (*text != '\0') {
    *out++ = *text++;
  }
  return out;
}

char* AppendNumber(char* out, std::uint64_t number) {
  char digits[24];
  int count = 0;
  do {
    digits[count++] = static_cast<char>('0' + number % 10);
    number /= 10;
  } while (number != 0);
  while (count > 0) {
    *out++ = digits[--count];
  }
  return out;
}

__attribute__((destructor)) void Report() {
  const char* path = std::getenv("HEAP_PROBE_LOG");
  if (path == nullptr || *path == '\0') {
    return;
  }
  char line[256];
  char* end = line;
  end = AppendText(end, "pid ");
  end = AppendNumber(end, static_cast<std::uint64_t>(getpid()));
  end = AppendText(end, " peak ");
  end = AppendNumber(end, g_peak.load());
  end = AppendText(end, " largest ");
  end = AppendNumber(end, g_largest.load());
  end = AppendText(end, " allocations ");
  end = AppendNumber(end, g_allocations.load());
  end = AppendText(end, "\n");
  const int saved = errno;
  const int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd >= 0) {
    // One write of one short line: appends from several processes stay whole.
    if (write(fd, line, static_cast<std::size_t>(end - line)) < 0) {
      // Nothing to be done at exit.
    }
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
