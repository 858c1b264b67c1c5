#include <iostream>
#include <string>
#include <vector>

#include "pack/cli.h"
#include "pack/host_io.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  return pack::RunCommandLine(args, std::cout, std::cerr, pack::IsStderrTerminal());
}
