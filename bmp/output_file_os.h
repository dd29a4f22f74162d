// The operating-system calls behind replacing the output file safely. The new
// picture is written to a temporary file beside the file it replaces and
// renamed over it only once complete, while the replaced file's permissions
// and owner are kept and an interrupted run removes the temporary file.
// output_file_os_posix.cpp and output_file_os_windows.cpp implement this.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

// The file a run writes to, once the output name's links are followed.
struct output_target {
  bool usable = false;  // false: writing to it must be refused
  std::string path;     // the file to create or replace
  bool exists = false;  // a regular file is there now
  // The replaced file's permission bits, owner and group (POSIX only).
  unsigned mode = 0;
  long long owner = -1;
  long long group = -1;
};

// The temporary file the picture is written to.
struct temp_output {
  std::FILE* stream = nullptr;  // null when it could not be created
  std::string path;
};

// Follows `name` through symbolic links to the file a write would reach and
// says whether it may be replaced. Refuses (usable = false) an existing file
// that is not a regular file or that the process may not open for writing,
// a link chain too long to follow, and a link that the system would not
// follow for writing: one in a sticky, world-writable directory owned by
// neither this user nor the directory's owner. A missing file is usable.
output_target find_output_target(const std::string& name);

// Creates a new, empty temporary file in the directory of `target` and opens
// it for binary writing, with the replaced file's permission bits and, where
// the process may set them, its owner and group. From now until
// replace_with_temp or discard_temp, an interruption (SIGINT, SIGTERM, SIGHUP;
// Ctrl-C, Ctrl-Break or closing the console on Windows) removes the file
// before the process ends as the interruption would have ended it.
temp_output create_temp_output(const output_target& target);

// Moves the closed temporary file over the target in one atomic step.
// Returns false, leaving both as they were, when that is impossible.
bool replace_with_temp(const temp_output& temp, const output_target& target);

// Removes the (closed) temporary file after a failure.
void discard_temp(const temp_output& temp);

// The name of a temporary file in the directory of `target` for this
// process's `attempt`-th try: "vandrel-" and 16 hexadecimal digits mixed from
// the clock, `process_id` and `attempt`, then ".tmp", whatever the length of
// the target's own name.
inline std::string temp_path_beside(const std::string& target, uint64_t process_id, int attempt) {
#ifdef _WIN32
  const char* const SEPARATORS = "/\\:";
#else
  const char* const SEPARATORS = "/";
#endif
  const size_t end = target.find_last_of(SEPARATORS);
  const std::string directory = end == std::string::npos ? "" : target.substr(0, end + 1);
  const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
  const uint64_t salt = static_cast<uint64_t>(now) * 0x9E3779B97F4A7C15u ^ process_id << 32 ^
                        static_cast<uint64_t>(attempt);
  char name[40];
  std::snprintf(name, sizeof name, "vandrel-%016llx.tmp", static_cast<unsigned long long>(salt));
  return directory + name;
}

// Makes writes that cannot be done fail instead of ending the process: a
// reader that went away (SIGPIPE) and the file-size limit (SIGXFSZ).
void report_write_failures_as_errors();
