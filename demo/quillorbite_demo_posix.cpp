#include <exception>
#include <iostream>

#include "quillorbite_demo.h"

int main(int argc, char** argv) {
  try {
    const std::optional<std::string> argument =
        argc > 1 ? std::optional<std::string>(argv[1]) : std::nullopt;
    std::cout << DemoReport(argv[0], argument) << std::flush;
  } catch (const std::exception& failure) {
    std::cerr << "quillorbite demo: " << failure.what() << std::endl;
    return 1;
  }
  return 0;
}
