// The starter's entry point: the only place that catches.
#include <exception>
#include <iostream>

#include "starter/run_sequence.h"

int main() {
  try {
    return RunStarter();
  } catch (const std::exception& error) {
    std::cerr << error.what() << std::endl;
  } catch (...) {
    std::cerr << "unknown error" << std::endl;
  }
  return kExitUnhandledError;
}
