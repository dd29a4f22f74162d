// How a run ends when it cannot produce its picture: one fixed message on
// standard output and status 1. This is the program's complete list of them.
#pragma once

enum class run_failure {
  input_open,       // the input cannot be opened or read (or no "-i" was given)
  input_size,       // the file is too short for its headers or its pixel array
  input_format,     // not an uncompressed 24-bit BMP this program reads
  image_too_large,  // the framed picture would not fit a BMP file
  memory_alloc,     // a picture buffer could not be obtained
  output_write,     // the output file could not be created, written or closed
};

constexpr int EXIT_STATUS_FAILURE = 1;

// The exact text printed for a failure, newline included.
const char* failure_message(run_failure why);

// Prints the failure's message on standard output and ends the process with
// EXIT_STATUS_FAILURE. Nothing is printed on standard error.
[[noreturn]] void end_run(run_failure why);
