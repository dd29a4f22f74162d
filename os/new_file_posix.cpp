// Creating the new output file on POSIX systems: without a name where Linux
// allows, otherwise under a temporary name a signal removes, and naming the
// unnamed one once complete.
#include "os/new_file_posix.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "os/file_checks_posix.h"
#include "os/linux_calls_posix.h"
#include "os/placing_posix.h"
#include "os/termination_posix.h"

// Linux's unnamed files, unless the build asks for named temporary files
// everywhere (as other systems have them), which the tests use to run that
// way too.
#if defined(VANDREL_LINUX_CALLS) && defined(O_TMPFILE) && !defined(VANDREL_NAMED_TEMP_FILES)
#define VANDREL_UNNAMED_FILES 1
#endif

namespace {

constexpr int TEMP_NAME_ATTEMPTS = 64;

int descriptor(intptr_t handle) { return static_cast<int>(handle); }

#ifdef VANDREL_UNNAMED_FILES
// A new file in `folder` that has no name, so that nothing is left whatever
// ends the process, even a kill no program can catch; -1 where the file
// system or the kernel has no such files, or where it could not be named
// later (no /proc, for root too: root of a user namespace may not link it
// without).
int create_unnamed(int folder, mode_t mode) {
  // Readable too, so that its picture can be copied to a named file where
  // the system refuses to name it.
  const int fd = openat(folder, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
  if (fd < 0 || linkable_unnamed(fd)) return fd;
  close(fd);
  return -1;
}
#else
int create_unnamed(int, mode_t) { return -1; }
#endif

// A fresh temporary name beside the target for this process's `attempt`-th try.
std::string temp_name(int attempt) {
  return temp_path_beside("", static_cast<uint64_t>(getpid()), attempt);
}

// Creates a new file under a fresh temporary name in `folder`, recorded for
// removal by a signal; the two happen with the signals held back. -1 on
// failure, with errno saying why.
int create_named(int folder, mode_t mode, std::string& name) {
  catch_terminating_signals();
  for (int attempt = 0; attempt < TEMP_NAME_ATTEMPTS; ++attempt) {
    std::string candidate = temp_name(attempt);
    const sigset_t previous = hold_signals();
    const int fd = openat(folder, candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    const int error = errno;
    if (fd >= 0) guard_temp_file(folder, candidate);
    release_signals(previous);
    errno = error;
    if (fd >= 0) name = std::move(candidate);
    if (fd >= 0 || error != EEXIST) return fd;
  }
  return -1;
}

}  // namespace

output_file create_new_file(const output_target& target) {
  const mode_t mode = target.exists ? 0600 : 0666;
  const int folder = descriptor(target.folder);
  output_file out;
  out.folder = target.folder;
  int fd = create_unnamed(folder, mode);
  if (fd < 0 && append_only_folder(folder)) {
    errno = EPERM;
  } else if (fd < 0) {
    fd = create_named(folder, mode, out.temp_path);
  }
  out.open = fd >= 0;
  out.handle = fd;
  return out;
}

bool name_unnamed(output_file& out) {
  catch_terminating_signals();
  const int folder = descriptor(out.folder);
  for (int attempt = 0; attempt < TEMP_NAME_ATTEMPTS; ++attempt) {
    std::string name = temp_name(attempt);
    const sigset_t previous = hold_signals();
    const bool linked = link_unnamed(descriptor(out.handle), folder, name);
    const int error = errno;
    if (linked) guard_temp_file(folder, name);
    release_signals(previous);
    if (linked) {
      out.temp_path = std::move(name);
      return true;
    }
    if (error != EEXIST) return false;
  }
  return false;
}

bool move_to_named_file(output_file& out, mode_t mode) {
  std::string name;
  const int named = create_named(descriptor(out.folder), mode, name);
  if (named < 0) return false;
  const int unnamed = descriptor(out.handle);
  out.handle = named;
  out.temp_path = std::move(name);
  const bool copied = copy_contents(unnamed, named, out.written);
  close(unnamed);
  return copied;
}
