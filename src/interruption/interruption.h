// Interruptions of the run: Ctrl-C and requests to end (signals on POSIX,
// console control events on Windows). Without care they kill the starter at
// once, leaving the unpacked tree for good and the application running on
// alone. Under an InterruptionGuard they are recorded instead and stop the run
// at safe points, after which the run cleans up and the process ends the way
// the interruption would have ended it.
//
// An interruption that stops the run travels as the exception Interrupted,
// thrown only by the polls below, so it never cuts a file-system operation in
// half. It is no error and derives from no standard exception: the run
// sequence lets it pass after its clean-up, and main, the only place that
// catches, ends the process with EndAsInterrupted.
#ifndef STARTER_INTERRUPTION_INTERRUPTION_H
#define STARTER_INTERRUPTION_INTERRUPTION_H

/// An interruption that stops the run. `cause` is the signal number on POSIX,
/// the console control event (CTRL_C_EVENT, ...) on Windows.
class Interrupted {
 public:
  explicit Interrupted(int cause) : cause_(cause) {}
  int cause() const { return cause_; }

 private:
  int cause_;
};

/// Takes over the process's interruptions while it lives, in two phases: the
/// extraction phase from construction, the child phase from
/// EndExtractionPhase on. One guard at a time; the main thread makes and ends
/// it. The destructor restores what it found and forgets what was recorded.
///
/// POSIX, both phases: SIGPIPE and SIGXFSZ are ignored, so that a closed
/// pipe or a file-size limit makes writes fail instead of killing the
/// starter. Extraction phase: SIGINT, SIGTERM and SIGHUP are recorded, and the
/// first one recorded is thrown by the next poll; SIGQUIT keeps its effect.
/// Child phase: SIGINT and SIGQUIT are ignored, as system() does (a terminal
/// gives them to the application as well, and the application decides);
/// SIGTERM and SIGHUP are passed on to the child (see interruption_posix.h)
/// and the first one is recorded. A signal ignored when the guard was made
/// stays ignored throughout, in the starter and in the child.
///
/// Windows, a console control handler. Extraction phase: Ctrl-C and
/// Ctrl-Break are recorded. Child phase: they are left to the application (the
/// console gives them to it as well); the starter goes on waiting. Closing the
/// console, log-off and shut-down are recorded in either phase, and the
/// handler holds the process (which the system ends once the handler returns)
/// until the guard ends, that is until the run has stopped the extraction or
/// seen the application end, and cleaned up. The system's grace period, about
/// five seconds after a close, bounds that wait.
class InterruptionGuard {
 public:
  InterruptionGuard();
  ~InterruptionGuard();
  InterruptionGuard(const InterruptionGuard&) = delete;
  InterruptionGuard& operator=(const InterruptionGuard&) = delete;
};

/// The poll: throws Interrupted with the first interruption the guard
/// recorded. Does nothing when nothing was recorded or no guard exists.
void ThrowIfInterrupted();

/// The poll for other threads: true when ThrowIfInterrupted would throw.
/// Never throws and changes nothing; reads one atomic value, so any thread
/// may ask while a guard exists.
bool InterruptionRecorded();

/// Ends the extraction phase and begins the child phase, in one step: throws
/// Interrupted when an interruption was recorded before (the phase then stays
/// as it was), so that none falls between the two phases unanswered. Does
/// nothing without a guard.
void EndExtractionPhase();

/// Ends the process the way `interruption` would have ended it without a
/// guard; to be called once the guard is gone. POSIX: the signal's default
/// disposition is restored, the signal unblocked and raised, which ends the
/// process (should it not, returns 128 + the signal number). Windows: returns
/// STATUS_CONTROL_C_EXIT (0xC000013A), the status of a console process ended
/// by Ctrl-C, for main to end with.
int EndAsInterrupted(const Interrupted& interruption);

#endif  // STARTER_INTERRUPTION_INTERRUPTION_H
