// Turns the argument vector into a run_options record; owns the usage text.
#include "cli/options.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The usage text asked for ("-h", or "-help" as the text itself advertises)
// ends the run successfully; shown for a mistaken command line (an unknown
// keyword, a missing value), it ends the run as a failure, so that a script
// sees that nothing was framed.
constexpr int EXIT_STATUS_USAGE_ASKED = 0;
constexpr int EXIT_STATUS_USAGE_MISTAKE = 1;

[[noreturn]] void usage_and_exit(int status) {
  print_usage();
  std::exit(status);
}

// The integer field a keyword sets, or nullptr for keywords that are not
// plain integers.
int32_t* integer_field(const char* key, run_options& o, origin_size& origin) {
  struct named_field {
    const char* key;
    int32_t* field;
  };
  const named_field fields[] = {
      {"x", &o.x},
      {"y", &o.y},
      {"startx", &o.startx},
      {"starty", &o.starty},
      {"hv", &o.hv},
      {"bunshi", &o.bunshi},
      {"bunbo", &o.bunbo},
      {"norm", &o.norm},
      {"mado", &o.mado},
      {"tapnum_y", &o.tapnum_y},
      {"tapnum_c", &o.tapnum_c},
      {"sizexminus", &o.sizexminus},
      {"sizexminusy", &o.sizexminusy},
      {"orgx", &origin.orgx},
      {"orgy", &origin.orgy},
  };
  for (const named_field& f : fields) {
    if (std::strcmp(key, f.key) == 0) return f.field;
  }
  return nullptr;
}

// The text field a keyword sets, or nullptr.
std::string* text_field(const char* key, run_options& o) {
  if (std::strcmp(key, "o") == 0) return &o.output_name;
  if (std::strcmp(key, "i") == 0) return &o.input_path;
  if (std::strcmp(key, "i2") == 0) return &o.input2_path;
  return nullptr;
}

}  // namespace

int32_t text_to_int32(const char* text) {
  const long long value = std::strtoll(text, nullptr, 10);
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}

void parse_options(int argc, const char* const* argv, run_options& options, origin_size& origin) {
  for (int i = 1; i < argc; ++i) {
    if (argv[i][0] != '-') continue;
    const char* key = argv[i] + 1;
    if (std::strcmp(key, "h") == 0 || std::strcmp(key, "help") == 0) {
      usage_and_exit(EXIT_STATUS_USAGE_ASKED);
    }

    std::string* text = text_field(key, options);
    int32_t* integer = integer_field(key, options, origin);
    const bool is_fsc = std::strcmp(key, "Fsc") == 0;
    if (text == nullptr && integer == nullptr && !is_fsc) usage_and_exit(EXIT_STATUS_USAGE_MISTAKE);
    if (i + 1 >= argc) usage_and_exit(EXIT_STATUS_USAGE_MISTAKE);  // the value is missing

    const char* value = argv[++i];
    if (text != nullptr) {
      *text = value;
    } else if (integer != nullptr) {
      *integer = text_to_int32(value);
    } else {
      options.Fsc = std::strtod(value, nullptr);
    }
  }
}

void print_usage() {
  std::fputs(
      "Usage: vandrel [options]\n"
      "\toptions: \n"
      "\t  -help          : help\n"
      "\t  -i             : input bitmap filename(BMP24bittruecolor)\n"
      "\t  -o             : output bitmap file name(BMP24bittruecolor .bmp extension auto add\n",
      stderr);
}
