#include "starter/child_process.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "interruption/interruption_posix.h"
#include "text/text_convert.h"

extern char** environ;

namespace {

// Closes the program's descriptor on every way out.
class ProgramDescriptor {
 public:
  explicit ProgramDescriptor(std::intptr_t fd) : fd(static_cast<int>(fd)) {}
  ~ProgramDescriptor() { ::close(fd); }
  ProgramDescriptor(const ProgramDescriptor&) = delete;
  ProgramDescriptor& operator=(const ProgramDescriptor&) = delete;

  const int fd;
};

// Windows runs any image its user can read. Archives made on Windows carry no
// execute permission, so the program the starter itself unpacked gets one
// for its owner, and for nobody else. The change goes through the descriptor
// that was checked, never through the name, which could be swapped meanwhile.
void LetOwnerExecute(int program, const struct stat& info) {
  if (!S_ISREG(info.st_mode) || info.st_uid != geteuid() || (info.st_mode & S_IXUSR) != 0) {
    return;
  }
  ::fchmod(program, (info.st_mode & 07777) | S_IXUSR);
}

}  // namespace

bool RunChildAndWait(const ChildCommand& command, wchar_t* /*commandLine*/,
                     std::uint32_t& creationError) {
  std::intptr_t opened = -1;
  if (!OpenChildProgram(command, EINVAL, opened, creationError)) {
    return false;
  }
  const ProgramDescriptor checked(opened);
  struct stat info;
  if (::fstat(checked.fd, &info) != 0) {
    creationError = static_cast<std::uint32_t>(errno);
    return false;
  }
  LetOwnerExecute(checked.fd, info);
  // posix_spawn takes a name, which the system resolves again: it must still
  // name the file just checked.
  struct stat named;
  std::string program = WideToUtf8(command.destination.c_str()) + "/" + command.program;
  if (::stat(program.c_str(), &named) != 0) {
    creationError = static_cast<std::uint32_t>(errno);
    return false;
  }
  if (named.st_dev != info.st_dev || named.st_ino != info.st_ino) {
    creationError = ELOOP;
    return false;
  }

  std::string argument = WideToUtf8(command.argument.c_str());
  char* argv[] = {program.data(), argument.data(), nullptr};

  // posix_spawn reports a failed exec to the parent as its result, so the
  // starter never goes on running in a child whose exec failed.
  pid_t child = 0;
  const int spawnError = SpawnChild(child, program.c_str(), argv, environ);
  if (spawnError != 0) {
    creationError = static_cast<std::uint32_t>(spawnError);
    return false;
  }
  WaitForChild(child);
  return true;
}
