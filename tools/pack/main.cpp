#include <iostream>
#include <string>
#include <vector>

#include "pack/cli.h"
#include "pack/host_io.h"

int main(int argc, char** argv) {
  return pack::RunCommandLine(pack::CommandLineArguments(argc, argv), std::cout, std::cerr,
                              pack::IsStderrTerminal());
}
