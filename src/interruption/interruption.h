// Interruptions of the run: Ctrl-C and requests to end (signals on POSIX, console control events on
// Windows), which would otherwise kill the starter and leave the unpacked tree and the application
// behind. Under an InterruptionGuard they are recorded and stop the run at safe points, as the
// exception Interrupted thrown only by the polls below; the run cleans up and main ends the process
// with EndAsInterrupted.
#ifndef STARTER_INTERRUPTION_INTERRUPTION_H
#define STARTER_INTERRUPTION_INTERRUPTION_H

/// No error, so no standard exception. `cause`: the signal number on POSIX, the console control
/// event (CTRL_C_EVENT, ...) on Windows.
class Interrupted {
 public:
  explicit Interrupted(int cause) : cause_(cause) {}
  int cause() const { return cause_; }

 private:
  int cause_;
};

/// Takes over the process's interruptions while it lives: the extraction phase from construction,
/// the child phase from EndExtractionPhase. One guard at a time, made and ended by the main thread;
/// the destructor restores what it found and forgets what was recorded.
///
/// POSIX: SIGPIPE and SIGXFSZ are ignored throughout, so that writes fail instead of killing the
/// starter. Extraction phase: SIGINT, SIGTERM and SIGHUP are recorded (the first is thrown by the
/// next poll); SIGQUIT keeps its effect. Child phase: SIGINT and SIGQUIT are ignored, as system()
/// does (the terminal gives them to the application, which decides); SIGTERM and SIGHUP are passed
/// on to the child (interruption_posix.h) and the first is recorded. A signal ignored when the
/// guard was made stays ignored, in the starter and in the child.
///
/// Windows, a console control handler: Ctrl-C and Ctrl-Break are recorded in the extraction phase
/// and left to the application in the child phase. Closing the console, log-off and shut-down are
/// recorded in either phase, and the handler holds the process (which the system ends once the
/// handler returns) until the guard ends, after the run's clean-up; the system's grace period,
/// about five seconds after a close, bounds that wait.
class InterruptionGuard {
 public:
  InterruptionGuard();
  ~InterruptionGuard();
  InterruptionGuard(const InterruptionGuard&) = delete;
  InterruptionGuard& operator=(const InterruptionGuard&) = delete;
};

/// The poll: throws Interrupted with the first interruption the guard recorded; does nothing when
/// none was or no guard exists.
void ThrowIfInterrupted();

/// The poll for any thread: true when ThrowIfInterrupted would throw. Reads one atomic value; never
/// throws.
bool InterruptionRecorded();

/// Begins the child phase, or throws Interrupted (the phase unchanged) when an interruption was
/// recorded, so that none falls between the phases unanswered. Does nothing without a guard.
void EndExtractionPhase();

/// Ends the process as `interruption` would have without a guard; called once the guard is gone.
/// POSIX: restores the signal's default disposition, unblocks and raises it (should the process
/// live on, returns 128 + the signal). Windows: returns STATUS_CONTROL_C_EXIT (0xC000013A),
/// Ctrl-C's exit status, for main to end with.
int EndAsInterrupted(const Interrupted& interruption);

#endif  // STARTER_INTERRUPTION_INTERRUPTION_H
