// The operating-system calls behind writing the output file safely. The new
// picture is written to a file no one else can reach (on Linux an unnamed
// one, elsewhere a temporary file beside the file it replaces) and put in
// place by a rename only once complete, carrying exactly the replaced file's
// access rules. Where a new file cannot be exactly the old one (its owner,
// group or access rules could not be given, the folder refuses new files,
// a sticky or append-only folder forbids the rename, the file is mounted at
// its name), the picture is written into the existing file itself, as
// opening it for writing would, one run at a time.
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
  std::string path;     // the output name it was found from
  bool exists = false;  // a regular file is there now
  // POSIX: the folder the name leads to, opened once, and the file's name in
  // it; every later step works inside that folder.
  intptr_t folder = -1;
  std::string leaf;
  // The existing file, opened for writing once, when it was checked (-1 when
  // none): on POSIX systems its access rules are read from it and an in-place
  // write goes through it; on Windows open_output takes it over.
  intptr_t file = -1;
  // The length the new output will have, set before open_output: POSIX
  // systems reserve that room before writing an existing file in place.
  uint64_t length = 0;
};

// An output being written.
struct output_file {
  bool open = false;      // false: it could not be created
  intptr_t handle = 0;    // the system's handle of it
  bool in_place = false;  // written into the existing file itself
  intptr_t folder = -1;   // POSIX: the folder of the new file
  std::string temp_path;  // a named temporary file; "" when unnamed or in place
  uint64_t written = 0;   // bytes written so far
};

// Follows `name` (UTF-8 text on Windows, bytes elsewhere) through symbolic
// links to the file a write would reach and says whether it may be written.
// Refuses (usable = false) an existing file that is not a regular file or that
// the process may not open for writing, a link chain too long to follow, a
// folder that does not exist, and a link that the system would not follow
// for writing: one in a sticky, world-writable folder owned by neither this
// user nor the folder's owner, whichever component of the name it is. On
// POSIX systems an existing file the kernel's protected-regular rule guards
// (in such a folder, neither this user's nor the folder owner's) is refused
// too, for every user. A missing file is usable. On Windows, the final file a link leads to is
// named by the system, and a name with a colon other than a drive letter's (an NTFS stream), and a
// file that cannot be looked at for any reason but its absence, are refused too.
output_target find_output_target(const std::string& name);

// Opens the output for `target`. A missing target gets a new file. An
// existing one gets a new file, private to the process while it is written,
// only where that file can be made exactly the old one (owner, group,
// permission bits, access control list, attributes) and may be renamed over
// it; otherwise the existing file itself is opened for writing (not emptied
// until finished) and locked against other runs until finish_output or
// abandon_output; on POSIX systems the room for target.length bytes is
// reserved first, and where it is refused the output is not opened, the
// file untouched. While a named temporary file exists, a signal that would
// end the process (Ctrl-C, a kill, a CPU-time limit, ...; Ctrl-C, Ctrl-Break
// or closing the console on Windows) removes it before the process ends as
// the signal would have ended it; on Windows the temporary file is also
// marked for deletion at once, so that the system removes it however the
// process ends, until finish_output puts it in place. A refused allocation
// leaves no file behind.
output_file open_output(const output_target& target);

// Appends `count` bytes to the output; false when they could not all be written.
bool write_output(output_file& out, const uint8_t* bytes, size_t count);

// Completes a wholly written output. A new file replacing an existing one is
// flushed to the disk first, given the access rules the replaced file has at
// that moment, and put in its place in one atomic step (on Linux only while
// the name still holds the file checked; a file that took the name meanwhile
// is replaced only by a picture given its rules, or kept); a new output is
// put in place without a flush (on POSIX systems only while its name is
// free, or as above). A file written in place is cut to length and flushed
// (on POSIX systems in that order, so that the cut reaches the disk too).
// False when any step fails, the replaced file then untouched; the caller
// then calls abandon_output.
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
