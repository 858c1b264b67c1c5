// The starter's entry point, the only place that catches. An interruption
// reaches it after the run's clean-up and ends the process as it would have.
#include <exception>
#include <iostream>

#include "interruption/interruption.h"
#include "starter/run_sequence.h"

int main() {
  try {
    return RunStarter();
  } catch (const Interrupted& interruption) {
    return EndAsInterrupted(interruption);
  } catch (const std::exception& error) {
    std::cerr << error.what() << std::endl;
  } catch (...) {
    std::cerr << "unknown error" << std::endl;
  }
  return kExitUnhandledError;
}
