// Creating and waiting for the child process under an InterruptionGuard.
// POSIX only.
#ifndef STARTER_INTERRUPTION_INTERRUPTION_POSIX_H
#define STARTER_INTERRUPTION_INTERRUPTION_POSIX_H

#include <sys/types.h>

/// posix_spawn(&child, program, nullptr, attributes, argv, envp), whose
/// attributes give the child the signal dispositions and mask found by the
/// guard. Once the child exists SIGTERM and SIGHUP are passed on to it, one
/// recorded since EndExtractionPhase at once. Returns posix_spawn's errno
/// value (0 on success). Without a guard, a plain posix_spawn.
int SpawnChild(pid_t& child, const char* program, char* const argv[], char* const envp[]);

/// Waits for `child` (from SpawnChild) to end, then reaps it. Signals are
/// passed on until it has ended, never after (its id may be reused).
void WaitForChild(pid_t child);

#endif  // STARTER_INTERRUPTION_INTERRUPTION_POSIX_H
