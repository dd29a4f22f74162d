// Prints the one message of a failed run and ends the process.
#include "cli/run_end.h"

#include <cstdio>
#include <cstdlib>

const char* failure_message(run_failure why) {
  switch (why) {
    case run_failure::input_open:
      return "input file open err!!\n";
    case run_failure::input_size:
      return "input file size err!!\n";
    case run_failure::input_format:
      return "input file format err!!\n";
    case run_failure::image_too_large:
      return "image too large err!!\n";
    case run_failure::memory_alloc:
      return "memory alloc err!!\n";
    case run_failure::output_write:
      return "output file write err!!\n";
  }
  return "";
}

void end_run(run_failure why) {
  std::fputs(failure_message(why), stdout);
  std::fflush(stdout);
  std::exit(EXIT_STATUS_FAILURE);
}
