// The operating-system calls behind writing the output file safely. The new
// picture is written to a temporary file beside the file it replaces and
// renamed over it only once complete, with the replaced file's access rules
// kept, and a run ended by a signal or a console interruption removes the
// temporary file. Only where the folder refuses a new file but the existing
// output may be written is the picture written into that file itself.
// output_file_posix.cpp and output_file_windows.cpp implement this.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

// The file a run writes to, once the output name's links are followed.
struct output_target {
  bool usable = false;  // false: writing to it must be refused
  std::string path;     // the file to create or replace
  bool exists = false;  // a regular file is there now
  // The replaced file's permission bits, owner and group on POSIX systems;
  // on Windows, mode holds its attributes.
  unsigned mode = 0;
  long long owner = -1;
  long long group = -1;
  // Windows: the existing file, opened once for writing when it was checked
  // (-1 when none); open_output takes it over.
  intptr_t file = -1;
};

// An output being written.
struct output_file {
  bool open = false;      // false: it could not be created
  intptr_t handle = 0;    // the system's handle of it
  std::string temp_path;  // the temporary file; "" when writing into the target itself
  uint64_t written = 0;   // bytes written so far
};

// Follows `name` (UTF-8 text on Windows, bytes elsewhere) through symbolic
// links to the file a write would reach and says whether it may be replaced.
// Refuses (usable = false) an existing file that is not a regular file or that
// the process may not open for writing, a link chain too long to follow, and
// a link that the system would not follow for writing: one in a sticky,
// world-writable directory owned by neither this user nor the directory's
// owner. A missing file is usable. On Windows, the final file a link leads
// to is named by the system, and a name with a colon other than a drive
// letter's (an NTFS stream), a file the user may not open for writing, and
// one that cannot be looked at for any reason but its absence are refused.
output_target find_output_target(const std::string& name);

// Opens the output for `target`: a new temporary file in its directory, given
// the replaced file's permission bits, access control list, extended
// attributes and (where the process may set it) owner; a target whose access
// rules cannot all be carried over is refused rather than replaced by a file
// more open than it. If the directory refuses new files, an existing target is
// opened for writing instead (no temporary file; not emptied until finished).
// From now until finish_output or abandon_output, a signal that would end the
// process (Ctrl-C, a kill, a CPU-time limit, ...; Ctrl-C, Ctrl-Break or
// closing the console on Windows) removes the temporary file before the
// process ends as the signal would have ended it. On Windows the temporary
// file is also marked for deletion at once, so that the system removes it
// however the process ends, until finish_output puts it in place; a file
// written in place is locked for the whole write.
output_file open_output(const output_target& target);

// Appends `count` bytes to the output; false when they could not all be written.
bool write_output(output_file& out, const uint8_t* bytes, size_t count);

// Completes a wholly written output: closes it and puts it in place of the
// target in one atomic step (or cuts the target written in place to length).
// False when that fails; the caller then calls abandon_output.
bool finish_output(output_file& out, const output_target& target);

// After a failure: closes the output and removes the temporary file. A target
// written in place stays as far as it was written.
void abandon_output(output_file& out);

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
