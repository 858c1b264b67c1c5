// The unpacked application's command line, and running it as a child process.
#ifndef STARTER_STARTER_CHILD_PROCESS_H
#define STARTER_STARTER_CHILD_PROCESS_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

/// The child's command line: a double quote, `destination`, kExeRelativePath,
/// a double quote, one blank and kAppName. Its length is the destination's
/// plus kExeRelativePath's plus kAppName's plus 3 (72 more than the
/// destination with the default names).
std::wstring BuildChildCommandLine(const std::wstring& destination);

/// A separately allocated, writable copy of `commandLine` with room for its
/// length + 20 wide characters, holding every character unchanged and the
/// terminating NUL, the rest zero. Process creation may write into it.
std::unique_ptr<wchar_t[]> MakeWritableCommandLine(const std::wstring& commandLine);

/// Starts the program named by the first (quoted) token of `commandLine` with
/// the rest of the line as its arguments. The child inherits the starter's
/// environment, current directory, console and inheritable handles; on POSIX
/// it starts with the signal dispositions and mask the starter was started
/// with, whatever an InterruptionGuard changed. Waits for its end without a
/// time limit (under a guard, passing SIGTERM and SIGHUP on to it), then
/// releases everything held for it.
///
/// The program must lie below the folder `destination` (see
/// ProgramBelowDestination), and is reached from there the way the unpacked
/// files were written: a symbolic link (on Windows, any reparse point) on the
/// way or at the program itself is a failed creation, and nothing is changed
/// or run. On POSIX a regular file of the user's gets execute permission for
/// its owner through its descriptor (Windows runs any file its user can read),
/// and the file started must be the one checked.
///
/// Returns true when the child was created (it has ended when this returns).
/// Returns false when it could not be created: no child exists and
/// `creationError` holds the system's code (GetLastError on Windows, errno on
/// POSIX; ELOOP and ERROR_REPARSE_POINT_ENCOUNTERED for a link).
bool RunChildAndWait(const std::wstring& destination, wchar_t* commandLine,
                     std::uint32_t& creationError);

/// The part of `program` below `destination`, as UTF-8 with '/' between its
/// levels: `program` must begin with `destination` followed by '\' or '/'.
/// Returns false, leaving `relative` untouched, when it does not or nothing
/// follows the separator.
bool ProgramBelowDestination(const std::wstring& destination, const std::wstring& program,
                             std::string& relative);

/// The text that tells a user why the child did not start:
/// "Couldn't start:\n<command line>\nCreateProcess() returned <code>." with
/// the code in lower-case hexadecimal without prefix.
std::wstring FormatLaunchFailure(const std::wstring& commandLine, std::uint32_t creationError);

/// Splits a command line into arguments the way Windows does: the program
/// name is the first token, running from a leading quote to the next quote, or
/// else to the first blank or tab; after it, blanks and tabs separate, double
/// quotes group, and backslashes escape a quote only when they precede one.
/// Used by the POSIX stand-in for process creation.
std::vector<std::wstring> SplitCommandLine(const std::wstring& commandLine);

#endif  // STARTER_STARTER_CHILD_PROCESS_H
