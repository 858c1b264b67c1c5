// Creating and waiting for the child process under an InterruptionGuard: the
// part of the guard that POSIX process creation needs. POSIX only.
#ifndef STARTER_INTERRUPTION_INTERRUPTION_POSIX_H
#define STARTER_INTERRUPTION_INTERRUPTION_POSIX_H

#include <sys/types.h>

/// posix_spawn(&child, program, nullptr, attributes, argv, envp), where the
/// attributes give the child the signal dispositions and mask the process had
/// when the guard was made, as if the guard had never been there. Once the
/// child exists, SIGTERM and SIGHUP are passed on to it; one recorded since
/// EndExtractionPhase is passed on at once. Returns posix_spawn's result (an
/// errno value, 0 on success). Without a guard, a plain posix_spawn.
int SpawnChild(pid_t& child, const char* program, char* const argv[], char* const envp[]);

/// Waits, without a time limit, for `child` (created by SpawnChild) to end,
/// then reaps it. Signals are passed on to it until it has ended and never
/// after, when its process id may already be another process's.
void WaitForChild(pid_t child);

#endif  // STARTER_INTERRUPTION_INTERRUPTION_POSIX_H
