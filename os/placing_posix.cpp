// Putting a complete new output in place on POSIX systems.
#include "os/placing_posix.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "os/linux_calls_posix.h"
#include "os/termination_posix.h"

namespace {

#ifdef VANDREL_LINUX_CALLS
// Whether a failed call says that the system or the file system lacks it.
bool unsupported(int error) { return error == EINVAL || error == ENOSYS || error == EOPNOTSUPP; }
#endif

// Swaps the files named `a` and `b` in `folder` in one step. False with
// errno EINVAL where the system or the file system cannot.
bool exchange_names(int folder, const std::string& a, const std::string& b) {
#if defined(VANDREL_LINUX_CALLS) && defined(RENAME_EXCHANGE)
  if (renameat2(folder, a.c_str(), folder, b.c_str(), RENAME_EXCHANGE) == 0) return true;
  if (unsupported(errno)) errno = EINVAL;
  return false;
#else
  static_cast<void>(folder);
  static_cast<void>(a);
  static_cast<void>(b);
  errno = EINVAL;
  return false;
#endif
}

#ifdef VANDREL_LINUX_CALLS
// The name /proc gives the open file `fd` of this process.
void proc_name(int fd, char (&name)[40]) {
  std::snprintf(name, sizeof name, "/proc/self/fd/%d", fd);
}
#endif

// Whether `name` in `folder`, not followed if it is a link, is the file open
// as `fd`: the same device and inode.
bool names_file(int folder, const std::string& name, int fd) {
  struct stat named;
  struct stat open_file;
  return fstatat(folder, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
         fstat(fd, &open_file) == 0 && named.st_dev == open_file.st_dev &&
         named.st_ino == open_file.st_ino;
}

}  // namespace

bool link_unnamed(int fd, int folder, const std::string& name) {
#ifdef VANDREL_LINUX_CALLS
  if (linkat(fd, "", folder, name.c_str(), AT_EMPTY_PATH) == 0) return true;
  if (errno == EEXIST) return false;
  char self[40];
  proc_name(fd, self);
  return linkat(AT_FDCWD, self, folder, name.c_str(), AT_SYMLINK_FOLLOW) == 0;
#else
  static_cast<void>(fd);
  static_cast<void>(folder);
  static_cast<void>(name);
  errno = ENOSYS;
  return false;
#endif
}

bool linkable_unnamed(int fd) {
#ifdef VANDREL_LINUX_CALLS
  char self[40];
  proc_name(fd, self);
  struct stat through_proc;
  struct stat open_file;
  return stat(self, &through_proc) == 0 && fstat(fd, &open_file) == 0 &&
         through_proc.st_dev == open_file.st_dev && through_proc.st_ino == open_file.st_ino;
#else
  static_cast<void>(fd);
  return false;
#endif
}

bool rename_to_free_name(int folder, const std::string& from, const std::string& to) {
#if defined(VANDREL_LINUX_CALLS) && defined(RENAME_NOREPLACE)
  if (renameat2(folder, from.c_str(), folder, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (!unsupported(errno)) return false;
#endif
  if (linkat(folder, from.c_str(), folder, to.c_str(), 0) == 0) {
    unlinkat(folder, from.c_str(), 0);
    return true;
  }
  if (errno != EPERM && errno != EOPNOTSUPP && errno != EMLINK) return false;
  return renameat(folder, from.c_str(), folder, to.c_str()) == 0;
}

bool copy_contents(int from, int to, uint64_t length) {
  char buffer[1 << 16];
  for (uint64_t at = 0; at < length;) {
    const size_t wanted = static_cast<size_t>(std::min<uint64_t>(sizeof buffer, length - at));
    const ssize_t got = pread(from, buffer, wanted, static_cast<off_t>(at));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    for (ssize_t put = 0; put < got;) {
      const ssize_t done = write(to, buffer + put, static_cast<size_t>(got - put));
      if (done < 0 && errno == EINTR) continue;
      if (done <= 0) return false;
      put += done;
    }
    at += static_cast<uint64_t>(got);
  }
  return true;
}

swap_result swap_into_place(int folder, const std::string& temp, const std::string& leaf,
                            int expected) {
  const sigset_t previous = hold_signals();
  swap_result result = swap_result::failed;
  if (exchange_names(folder, temp, leaf)) {
    if (names_file(folder, temp, expected)) {
      unlinkat(folder, temp.c_str(), 0);
      result = swap_result::swapped;
    } else if (exchange_names(folder, temp, leaf)) {
      result = swap_result::another_file;
    } else {
      result = swap_result::stuck;
    }
  } else if (errno == EINVAL) {
    if (!names_file(folder, leaf, expected)) {
      result = swap_result::another_file;
    } else if (renameat(folder, temp.c_str(), folder, leaf.c_str()) == 0) {
      result = swap_result::swapped;
    }
  }
  if (result == swap_result::swapped || result == swap_result::stuck) guard_temp_file(-1, "");
  release_signals(previous);
  return result;
}
