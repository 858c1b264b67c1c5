#include "interruption/interruption.h"

#include <windows.h>

#include <atomic>

namespace {

// The phase, or the event recorded (its code, 0 and up), in one value so
// that the handler's thread and the main thread change it atomically.
constexpr int kNoGuard = -3;
constexpr int kExtracting = -2;
constexpr int kChildPhase = -1;
std::atomic<int> g_state{kNoGuard};

// Manual-reset, set when the guard ends: the run has finished its clean-up.
HANDLE g_runFinished = nullptr;

// Runs on a thread the system starts for each event.
BOOL WINAPI OnConsoleControl(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT: {
      // Recorded only during the extraction; later the application has the
      // event too, and it decides. Either way the starter lives on.
      int expected = kExtracting;
      g_state.compare_exchange_strong(expected, static_cast<int>(event));
      return TRUE;
    }
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT: {
      int state = g_state.load();
      while (state < 0 && state != kNoGuard &&
             !g_state.compare_exchange_weak(state, static_cast<int>(event))) {
      }
      if (state == kNoGuard) {
        return FALSE;
      }
      // The system ends the process once this returns: hold it until the run
      // has cleaned up (within the system's grace period).
      WaitForSingleObject(g_runFinished, INFINITE);
      return TRUE;
    }
    default:
      return FALSE;
  }
}

}  // namespace

InterruptionGuard::InterruptionGuard() {
  if (g_runFinished == nullptr) {
    g_runFinished = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  } else {
    ResetEvent(g_runFinished);
  }
  g_state = kExtracting;
  // Without a console there are no console events to handle.
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

InterruptionGuard::~InterruptionGuard() {
  g_state = kNoGuard;
  // First let a handler that holds the process go: the system keeps the list
  // of handlers locked while one runs, so removing ours waits for it. After a
  // close the process ends here, its clean-up done.
  SetEvent(g_runFinished);
  SetConsoleCtrlHandler(OnConsoleControl, FALSE);
}

void ThrowIfInterrupted() {
  const int state = g_state.load();
  if (state >= 0) {
    throw Interrupted(state);
  }
}

bool InterruptionRecorded() {
  return g_state.load() >= 0;
}

void EndExtractionPhase() {
  int expected = kExtracting;
  if (!g_state.compare_exchange_strong(expected, kChildPhase)) {
    ThrowIfInterrupted();
  }
}

int EndAsInterrupted(const Interrupted&) {
  return static_cast<int>(STATUS_CONTROL_C_EXIT);
}
