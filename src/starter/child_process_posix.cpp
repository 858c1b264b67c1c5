#include "starter/child_process.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "interruption/interruption_posix.h"
#include "text/text_convert.h"

extern char** environ;

namespace {

// Windows runs any image its user can read. Archives made on Windows carry no
// execute permission, so the program the starter itself unpacked gets one
// for its owner, and for nobody else.
void LetOwnerExecute(const std::string& program) {
  struct stat info;
  if (stat(program.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != geteuid() ||
      (info.st_mode & S_IXUSR) != 0) {
    return;
  }
  chmod(program.c_str(), (info.st_mode & 07777) | S_IXUSR);
}

}  // namespace

bool RunChildAndWait(wchar_t* commandLine, std::uint32_t& creationError) {
  const std::vector<std::wstring> words = SplitCommandLine(commandLine);
  if (words.empty()) {
    creationError = ENOENT;
    return false;
  }
  std::vector<std::string> arguments;
  for (const std::wstring& word : words) {
    arguments.push_back(WideToUtf8(word.c_str()));
  }
  std::string& program = arguments.front();
  for (char& c : program) {
    if (c == '\\') {
      c = '/';
    }
  }
  LetOwnerExecute(program);

  std::vector<char*> argv;
  for (std::string& argument : arguments) {
    argv.push_back(argument.data());
  }
  argv.push_back(nullptr);

  // posix_spawn reports a failed exec to the parent as its result, so the
  // starter never goes on running in a child whose exec failed.
  pid_t child = 0;
  const int spawnError = SpawnChild(child, program.c_str(), argv.data(), environ);
  if (spawnError != 0) {
    creationError = static_cast<std::uint32_t>(spawnError);
    return false;
  }
  WaitForChild(child);
  return true;
}
