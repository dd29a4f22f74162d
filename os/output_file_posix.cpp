// Writing the output file on POSIX systems: a new file, unnamed until it is
// complete where Linux allows, renamed over the target with exactly its
// access rules; or, where a new file cannot be exactly the old one, the
// target itself written in place under a lock. Everything happens inside the
// target's folder, opened once, and the existing file is opened once.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "os/access_rules_posix.h"
#include "os/output_file.h"
#include "os/output_path_posix.h"
#include "os/termination_posix.h"

// Linux's unnamed files, unless the build asks for named temporary files
// everywhere (as other systems have them), which the tests use to run that
// way too.
#if defined(O_TMPFILE) && defined(AT_EMPTY_PATH) && !defined(VANDREL_NAMED_TEMP_FILES)
#define VANDREL_UNNAMED_FILES 1
#endif

namespace {

constexpr int TEMP_NAME_ATTEMPTS = 64;

int descriptor(intptr_t handle) { return static_cast<int>(handle); }

// Whether a failure to create a file says that the folder refuses new files.
bool folder_refuses(int error) { return error == EACCES || error == EPERM || error == EROFS; }

#ifdef VANDREL_UNNAMED_FILES
// A new file in `folder` that has no name, so that nothing is left whatever
// ends the process, even a kill no program can catch; -1 where the file
// system or the kernel has no such files, or where the file could not be
// named later (that takes /proc, or a privilege).
int create_unnamed(int folder, mode_t mode) {
  if (access("/proc/self/fd", X_OK) != 0 && geteuid() != 0) return -1;
  return openat(folder, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
}

// Gives the unnamed file `fd` the name `name` in `folder`.
bool link_unnamed(int fd, int folder, const std::string& name) {
  if (linkat(fd, "", folder, name.c_str(), AT_EMPTY_PATH) == 0) return true;
  char self[40];
  std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
  return linkat(AT_FDCWD, self, folder, name.c_str(), AT_SYMLINK_FOLLOW) == 0;
}
#else
int create_unnamed(int, mode_t) { return -1; }
bool link_unnamed(int, int, const std::string&) { return false; }
#endif

// Creates a new file under a fresh temporary name in `folder`, recorded for
// removal by a signal; the two happen with the signals held back. -1 on
// failure, with errno saying why.
int create_named(int folder, mode_t mode, std::string& name) {
  catch_terminating_signals();
  for (int attempt = 0; attempt < TEMP_NAME_ATTEMPTS; ++attempt) {
    std::string candidate = temp_path_beside("", static_cast<uint64_t>(getpid()), attempt);
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

// The new file in the target's folder: unnamed where the system allows,
// otherwise named. Private from the start when it is to replace a file,
// created like any new file otherwise. out.open is false on failure, with
// errno saying why.
output_file create_new_file(const output_target& target) {
  const mode_t mode = target.exists ? 0600 : 0666;
  output_file out;
  out.folder = target.folder;
  int fd = create_unnamed(descriptor(target.folder), mode);
  if (fd < 0) fd = create_named(descriptor(target.folder), mode, out.temp_path);
  out.open = fd >= 0;
  out.handle = fd;
  return out;
}

// Whether this process may rename a file over the existing target: in a
// sticky folder only the file's owner, the folder's owner or root may.
bool may_rename_over(const output_target& target) {
  struct stat folder;
  struct stat file;
  if (fstat(descriptor(target.folder), &folder) != 0 ||
      fstat(descriptor(target.file), &file) != 0) {
    return false;
  }
  const uid_t user = geteuid();
  return !(folder.st_mode & S_ISVTX) || user == 0 || file.st_uid == user || folder.st_uid == user;
}

// The existing target, written in place as opening it for writing would:
// it keeps its inode, and with it its owner, access rules, attributes and
// links. An exclusive lock makes runs writing it at once take turns.
output_file open_in_place(const output_target& target) {
  output_file out;
  out.in_place = true;
  out.handle = target.file;
  int locked;
  do {
    locked = flock(descriptor(target.file), LOCK_EX);
  } while (locked != 0 && errno == EINTR);
  out.open = locked == 0;
  return out;
}

// Gives the new file the target's access rules as they are now. A refused
// allocation removes the new file before it goes on up.
bool give_target_rules(output_file& out, const output_target& target) {
  try {
    return copy_access_rules(descriptor(target.file), descriptor(out.handle));
  } catch (...) {
    abandon_output(out);
    throw;
  }
}

// Gives the unnamed new file a temporary name beside the target, recorded
// for removal by a signal, so that it can be renamed into place.
bool name_unnamed(output_file& out) {
  catch_terminating_signals();
  const int folder = descriptor(out.folder);
  for (int attempt = 0; attempt < TEMP_NAME_ATTEMPTS; ++attempt) {
    std::string name = temp_path_beside("", static_cast<uint64_t>(getpid()), attempt);
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

// Completes a file written in place: flushed, then cut to the new length,
// then closed, which ends the lock.
bool finish_in_place(output_file& out) {
  const int fd = descriptor(out.handle);
  const bool done = fsync(fd) == 0 && ftruncate(fd, static_cast<off_t>(out.written)) == 0;
  const bool closed = close(fd) == 0;
  out.open = false;
  return done && closed;
}

}  // namespace

output_target find_output_target(const std::string& name) {
  output_target target;
  target.path = name;
  const int folder = open_output_folder(name, target.leaf);
  if (folder < 0) return target;
  target.folder = folder;
  const char* leaf = target.leaf.c_str();
  struct stat entry;
  if (fstatat(folder, leaf, &entry, AT_SYMLINK_NOFOLLOW) != 0) {
    target.usable = errno == ENOENT;
    return target;
  }
  if (!S_ISREG(entry.st_mode)) return target;
  // Opened without following a link or waiting, then checked again to be a
  // regular file (the name may have changed hands meanwhile; another run may
  // have put its own picture there, which is just as good): whatever replaces
  // the name later, this is the file whose rules are read and which an
  // in-place write reaches.
  const int fd = openat(folder, leaf, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return target;
  struct stat opened;
  if (fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode)) {
    close(fd);
    return target;
  }
  target.file = fd;
  target.exists = true;
  target.usable = true;
  return target;
}

output_file open_output(const output_target& target) {
  if (target.exists && !may_rename_over(target)) return open_in_place(target);
  output_file out = create_new_file(target);
  if (!out.open) return target.exists && folder_refuses(errno) ? open_in_place(target) : out;
  if (!target.exists) return out;
  // Whether the new file can be exactly the old one is tried now, before
  // anything is written; then it is made private again until finished.
  if (give_target_rules(out, target) && make_private(descriptor(out.handle))) return out;
  abandon_output(out);
  return open_in_place(target);
}

bool write_output(output_file& out, const uint8_t* bytes, size_t count) {
  while (count > 0) {
    const ssize_t done = write(descriptor(out.handle), bytes, count);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return false;
    bytes += done;
    count -= static_cast<size_t>(done);
    out.written += static_cast<uint64_t>(done);
  }
  return true;
}

bool finish_output(output_file& out, const output_target& target) {
  if (out.in_place) return finish_in_place(out);
  // Replacing a file: the new one reaches the disk before the rename, so
  // that a crash cannot leave an empty file where the old picture was, and
  // it takes the old file's rules as they are now.
  if (target.exists && (fsync(descriptor(out.handle)) != 0 || !give_target_rules(out, target))) {
    return false;
  }
  if (out.temp_path.empty() && !name_unnamed(out)) return false;
  const bool closed = close(descriptor(out.handle)) == 0;
  out.open = false;
  if (!closed) return false;
  const int folder = descriptor(out.folder);
  const sigset_t previous = hold_signals();
  const bool renamed = renameat(folder, out.temp_path.c_str(), folder, target.leaf.c_str()) == 0;
  if (renamed) guard_temp_file(-1, "");
  release_signals(previous);
  if (renamed) out.temp_path.clear();
  return renamed;
}

void abandon_output(output_file& out) {
  if (out.open) close(descriptor(out.handle));
  out.open = false;
  if (out.temp_path.empty()) return;
  const sigset_t previous = hold_signals();
  unlinkat(descriptor(out.folder), out.temp_path.c_str(), 0);
  guard_temp_file(-1, "");
  release_signals(previous);
  out.temp_path.clear();
}
