// The unpacked application's command line, and running it as a child process.
#ifndef STARTER_STARTER_CHILD_PROCESS_H
#define STARTER_STARTER_CHILD_PROCESS_H

#include <cstdint>
#include <memory>
#include <string>

/// The child the starter runs.
struct ChildCommand {
  std::wstring destination;  // the folder the program lies below
  std::string program;       // the program below it: UTF-8, '/' between levels
  std::wstring argument;     // the child's one argument
  std::wstring line;         // the command line that names both
};

/// The child for `destination`: the program kExeRelativePath below it, the
/// argument kAppName, and the line: a double quote, `destination`,
/// kExeRelativePath, a double quote, one blank and kAppName. The line's
/// length is the destination's plus kExeRelativePath's plus kAppName's plus 3
/// (72 more than the destination with the default names).
ChildCommand BuildChildCommand(const std::wstring& destination);

/// A separately allocated, writable copy of `commandLine` with room for its
/// length + 20 wide characters, holding every character unchanged and the
/// terminating NUL, the rest zero. Process creation may write into it.
std::unique_ptr<wchar_t[]> MakeWritableCommandLine(const std::wstring& commandLine);

/// Starts the program of `command` with its argument: on Windows by the
/// writable copy `commandLine` of its line, on POSIX by the program's path and
/// the argument. The child inherits the starter's environment, current
/// directory, console and inheritable handles; on POSIX it starts with the
/// signal dispositions and mask the starter was started with, whatever an
/// InterruptionGuard changed. Waits for its end without a time limit (under a
/// guard, passing SIGTERM and SIGHUP on to it), then releases everything held
/// for it.
///
/// The program is reached from `command.destination` the way the unpacked
/// files were written (see OpenChildProgram): a symbolic link (on Windows, any
/// reparse point) on the way or at the program itself is a failed creation,
/// and nothing is changed or run. On POSIX a regular file of the user's gets
/// execute permission for its owner through its descriptor (Windows runs any
/// file its user can read), and the file started must be the one checked.
///
/// Returns true when the child was created (it has ended when this returns).
/// Returns false when it could not be created: no child exists and
/// `creationError` holds the system's code (GetLastError on Windows, errno on
/// POSIX; ELOOP and ERROR_REPARSE_POINT_ENCOUNTERED for a link, EINVAL and
/// ERROR_INVALID_PARAMETER for a program that is not safely below the
/// destination).
bool RunChildAndWait(const ChildCommand& command, wchar_t* commandLine,
                     std::uint32_t& creationError);

/// Opens the program of `command` for reading, walking from the destination
/// through no link (see FolderWalker::OpenExisting). Returns false, opening
/// nothing, with `invalidProgram` in `creationError` when the program's path
/// is no safe entry name (one that could lead out of the destination), or the
/// system's code when it cannot be opened. `program` is the descriptor or
/// HANDLE, which the caller closes.
bool OpenChildProgram(const ChildCommand& command, std::uint32_t invalidProgram,
                      std::intptr_t& program, std::uint32_t& creationError);

/// The text that tells a user why the child did not start:
/// "Couldn't start:\n<command line>\nCreateProcess() returned <code>." with
/// the code in lower-case hexadecimal without prefix.
std::wstring FormatLaunchFailure(const std::wstring& commandLine, std::uint32_t creationError);

#endif  // STARTER_STARTER_CHILD_PROCESS_H
