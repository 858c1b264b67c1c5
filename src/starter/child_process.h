// The unpacked application's command line, and running it as a child process.
#ifndef STARTER_STARTER_CHILD_PROCESS_H
#define STARTER_STARTER_CHILD_PROCESS_H

#include <cstdint>
#include <memory>
#include <string>

struct ChildCommand {
  std::wstring destination;  // the folder the program lies below
  std::string program;       // the program below it: UTF-8, '/' between levels
  std::wstring argument;     // the child's one argument
  std::wstring line;         // the command line that names both
};

/// The child for `destination`: the program kExeRelativePath below it, the
/// argument kAppName, and the line `"<destination><kExeRelativePath>" <kAppName>`
/// (72 characters longer than the destination with the default names).
ChildCommand BuildChildCommand(const std::wstring& destination);

/// A separate copy of `commandLine` for process creation to write into: its
/// characters, a terminating NUL and zeros up to its length + 20.
std::unique_ptr<wchar_t[]> MakeWritableCommandLine(const std::wstring& commandLine);

/// Runs the program of `command` with its argument (on Windows by a
/// MakeWritableCommandLine copy of its line) and waits for its end without a
/// time limit. The child inherits the environment, current directory, console
/// and inheritable handles, and on POSIX the signal dispositions and mask the
/// starter was started with (an InterruptionGuard passes SIGTERM and SIGHUP on
/// to it). The program is reached as OpenChildProgram reaches it; on POSIX a
/// regular file of the user's gets execute permission for its owner, and the
/// file started must be the one checked. Returns true once the child has
/// ended, or false, with no child, and the system's code (GetLastError, errno)
/// in `creationError`: ELOOP or ERROR_REPARSE_POINT_ENCOUNTERED for a link,
/// EINVAL or ERROR_INVALID_PARAMETER for a program not safely below.
bool RunChildAndWait(const ChildCommand& command, std::uint32_t& creationError);

/// Opens the program of `command` for reading into `program` (a descriptor or
/// HANDLE the caller closes) through no link (see FolderWalker::OpenExisting).
/// Returns false, opening nothing, with the system's code in `creationError`,
/// or `invalidProgram` for a program's path that is no safe entry name.
bool OpenChildProgram(const ChildCommand& command, std::uint32_t invalidProgram,
                      std::intptr_t& program, std::uint32_t& creationError);

/// "Couldn't start:\n<command line>\nCreateProcess() returned <code>." in
/// UTF-8, with the code in lower-case hexadecimal without prefix.
std::string FormatLaunchFailure(const std::wstring& commandLine, std::uint32_t creationError);

#endif  // STARTER_STARTER_CHILD_PROCESS_H
