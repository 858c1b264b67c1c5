#include "starter/child_process.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "interruption/interruption_posix.h"
#include "text/text_convert.h"

extern char** environ;

namespace {

// Windows runs any image its user can read, and archives made there carry no
// execute permission: the program the starter itself unpacked gets one for its
// owner, through the descriptor, never the name, which could be swapped
// meanwhile. posix_spawn resolves `path` again: it must still name the file
// open at `program`. Returns 0 or the errno code.
int PrepareProgram(int program, const std::string& path) {
  struct stat info;
  struct stat named;
  if (::fstat(program, &info) != 0) {
    return errno;
  }
  if (S_ISREG(info.st_mode) && info.st_uid == geteuid() && (info.st_mode & S_IXUSR) == 0) {
    ::fchmod(program, (info.st_mode & 07777) | S_IXUSR);
  }
  if (::stat(path.c_str(), &named) != 0) {
    return errno;
  }
  return named.st_dev == info.st_dev && named.st_ino == info.st_ino ? 0 : ELOOP;
}

}  // namespace

bool RunChildAndWait(const ChildCommand& command, std::uint32_t& creationError) {
  std::string program = WideToUtf8(command.destination.c_str()) + "/" + command.program;
  std::string argument = WideToUtf8(command.argument.c_str());
  char* argv[] = {program.data(), argument.data(), nullptr};
  std::intptr_t checked = -1;
  if (!OpenChildProgram(command, EINVAL, checked, creationError)) {
    return false;
  }
  // The checked file stays open until the child exists, so that no other file
  // can take its identity meanwhile. posix_spawn reports a failed exec to the
  // parent as its result: the starter never goes on running in a child.
  pid_t child = 0;
  int error = PrepareProgram(static_cast<int>(checked), program);
  if (error == 0) {
    error = SpawnChild(child, program.c_str(), argv, environ);
  }
  ::close(static_cast<int>(checked));
  if (error != 0) {
    creationError = static_cast<std::uint32_t>(error);
    return false;
  }
  WaitForChild(child);
  return true;
}
