// The floors' file operations on POSIX: mmap(), mkdirat(), openat() and
// write() below the destination folder's descriptor.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "floor_io.h"

namespace floor_io {

struct OutputFile {
  int fd = -1;
  std::string name;
};

namespace {

int g_destination = -1;

[[noreturn]] void FailErrno(const std::string& what) {
  Fail(what + ": " + std::strerror(errno));
}

int OpenOrFail(const std::string& name, int flags, int at = AT_FDCWD) {
  const int fd = ::openat(at, name.c_str(), flags | O_CLOEXEC, 0644);
  if (fd < 0) {
    FailErrno((flags & O_CREAT) != 0 ? "creating " + name : "opening " + name);
  }
  return fd;
}

}  // namespace

void Open(int argc, char** argv, const unsigned char*& bytes, std::size_t& size) {
  if (argc != 3) {
    Fail("usage: " BENCH_PROGRAM " ARCHIVE DEST");
  }
  const int archive = OpenOrFail(argv[1], O_RDONLY);
  struct stat info;
  if (::fstat(archive, &info) != 0) {
    FailErrno("fstat");
  }
  size = static_cast<std::size_t>(info.st_size);
  if (size == 0) {
    Fail("not an archive");
  }
  void* mapping = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, archive, 0);
  if (mapping == MAP_FAILED) {
    FailErrno("mmap");
  }
  ::close(archive);
  bytes = static_cast<const unsigned char*>(mapping);
  g_destination = OpenOrFail(argv[2], O_RDONLY | O_DIRECTORY);
}

void CreateFolder(const std::string& name) {
  if (::mkdirat(g_destination, name.c_str(), 0755) != 0 && errno != EEXIST) {
    FailErrno("creating " + name);
  }
}

OutputFile* CreateOutput(const std::string& name) {
  return new OutputFile{OpenOrFail(name, O_WRONLY | O_CREAT | O_TRUNC, g_destination), name};
}

void Write(OutputFile* file, const unsigned char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(file->fd, data, size);
    if (written < 0 && errno != EINTR) {
      FailErrno("writing " + file->name);
    }
    if (written > 0) {
      data += written;
      size -= static_cast<std::size_t>(written);
    }
  }
}

void Close(OutputFile* file) {
  if (::close(file->fd) != 0) {
    FailErrno("closing " + file->name);
  }
  delete file;
}

}  // namespace floor_io
