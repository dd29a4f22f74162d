// The command line on POSIX systems: names are bytes, passed on as they are.
#include "os/arguments.h"

std::vector<std::string> program_arguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}
