// The command line: the option record, the scanner and the usage text.
#pragma once

#include <cstdint>
#include <string>

// Every option the command line accepts. Only input_path and output_name
// affect the result; the others are accepted and kept for compatibility with
// existing scripts. Fields are named exactly like their keywords.
struct run_options {
  int32_t x = 720;
  int32_t y = 480;
  int32_t startx = 0;
  int32_t starty = 0;
  std::string input_path;
  std::string input2_path;
  std::string output_name;  // the "-o" text; later the final file name
  int32_t hv = 0;
  int32_t sizexminus = 0;
  int32_t sizexminusy = 0;
  int32_t bunshi = 0;
  int32_t bunbo = 0;
  int32_t norm = 0;
  int32_t mado = 0;
  int32_t tapnum_y = 0;
  int32_t tapnum_c = 0;
  double Fsc = 0.0;
};

// The two picture-size options that live outside the record.
struct origin_size {
  int32_t orgx = 720;
  int32_t orgy = 480;
};

// Scans argv[1 .. argc-1] into `options` and `origin`. Arguments that do not
// start with '-' are skipped. "-h" and "-help" print the usage text and end
// the process with status 0; an unknown keyword (a lone "-" included) or a
// value-taking keyword with no value after it prints it and ends the process
// with status 1. Values are taken whole, whatever their length; numbers
// convert like atoi/atof but never overflow (out-of-range integers saturate).
void parse_options(int argc, const char* const* argv, run_options& options, origin_size& origin);

// Writes the usage text to standard error.
void print_usage();

// Decimal text to a signed 32-bit integer the way atoi reads it (leading
// space, optional sign, digits up to the first non-digit, 0 when none),
// saturating instead of overflowing.
int32_t text_to_int32(const char* text);
