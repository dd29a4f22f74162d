// Writing the output file on POSIX systems: a new file, unnamed until it is
// complete where Linux allows, put at a free name only while it is free, or
// swapped with the existing output only while the name holds the file that
// was checked, with exactly its access rules; or, where a new file cannot be
// exactly the old one, the target itself written in place under a lock.
// Everything happens inside the target's folder, opened once, and the
// existing file is opened once. The new file itself is made in
// new_file_posix.cpp.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "os/access_rules_posix.h"
#include "os/file_checks_posix.h"
#include "os/in_place_posix.h"
#include "os/new_file_posix.h"
#include "os/output_file.h"
#include "os/output_path_posix.h"
#include "os/placing_posix.h"
#include "os/termination_posix.h"

namespace {

// How many files swapped in at the name while a run replaces it (other runs
// finishing first, say) the run takes the rules of before it gives up.
constexpr int REPLACE_ATTEMPTS = 16;

int descriptor(intptr_t handle) { return static_cast<int>(handle); }

// Whether a failure to create a file says that the folder refuses new files.
bool folder_refuses(int error) { return error == EACCES || error == EPERM || error == EROFS; }

// The regular file `leaf` in `folder`, opened for writing without following
// a link or waiting, then checked again to be a regular file (the name may
// have changed hands meanwhile; another run may have put its own picture
// there, which is just as good) that the protected-regular rule lets this
// process write. -1 with errno ENOENT when there is none, with another errno
// when it may not be written.
int open_existing(int folder, const std::string& leaf) {
  struct stat entry;
  if (fstatat(folder, leaf.c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0) return -1;
  const int fd =
      S_ISREG(entry.st_mode)
          ? openat(folder, leaf.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)
          : -1;
  struct stat opened;
  if (fd >= 0 && fstat(fd, &opened) == 0 && S_ISREG(opened.st_mode) &&
      !protected_regular(folder, opened)) {
    return fd;
  }
  if (fd >= 0) close(fd);
  errno = EACCES;
  return -1;
}

// The existing target, written in place as opening it for writing would:
// it keeps its inode, and with it its owner, access rules, attributes and
// links. An exclusive lock makes runs writing it at once take turns; the
// room for the new picture is reserved before anything is overwritten.
output_file open_in_place(const output_target& target) {
  output_file out;
  out.in_place = true;
  out.handle = target.file;
  const int fd = descriptor(target.file);
  out.open = lock_for_writing(fd) && reserve_room(fd, target.length);
  return out;
}

// Gives the new file the access rules the file `from` has now. A refused
// allocation removes the new file before it goes on up.
bool give_rules_of(output_file& out, int from) {
  try {
    return copy_access_rules(from, descriptor(out.handle));
  } catch (...) {
    abandon_output(out);
    throw;
  }
}

// Closes the complete new file; false when the system reports a failure.
bool close_output(output_file& out) {
  out.open = false;
  return close(descriptor(out.handle)) == 0;
}

// Swaps the new file, under its temporary name, with `expected` at `leaf`
// (see swap_into_place); once it is in place, no temporary file is left.
swap_result swap_new_file(output_file& out, const std::string& leaf, int expected) {
  const swap_result result = swap_into_place(descriptor(out.folder), out.temp_path, leaf, expected);
  // Swapped in, or another file left under the temporary name: nothing
  // there is the run's to remove any more.
  if (result == swap_result::swapped || result == swap_result::stuck) out.temp_path.clear();
  return result;
}

// Puts the complete new file in the place of `checked`, the file its name
// held when checked: flushed first, so that a crash cannot leave an empty
// file where the old picture was, given that file's rules as they are now,
// then swapped with it. A file that took the name meanwhile and may be
// replaced as `checked` could be gives the new file its rules in turn
// before the next swap; any other ends the run and stays.
bool replace_file(output_file& out, const output_target& target, int checked) {
  if (fsync(descriptor(out.handle)) != 0 || !give_rules_of(out, checked)) return false;
  if (out.temp_path.empty() && !name_unnamed(out) &&
      !(move_to_named_file(out, 0600) && fsync(descriptor(out.handle)) == 0 &&
        give_rules_of(out, checked))) {
    return false;
  }
  const int folder = descriptor(out.folder);
  int expected = checked;
  int other = -1;  // the file that took the name, once opened
  swap_result result = swap_result::failed;
  for (int attempt = 0; attempt < REPLACE_ATTEMPTS; ++attempt) {
    result = swap_new_file(out, target.leaf, expected);
    if (result != swap_result::another_file) break;
    if (other >= 0) close(other);
    other = open_existing(folder, target.leaf);
    if (other < 0 || !replace_by_rename(folder, other) || !give_rules_of(out, other)) break;
    expected = other;
  }
  if (other >= 0) close(other);
  return result == swap_result::swapped && close_output(out);
}

// Puts a complete new output at its name, which was free when checked, only
// if it is still free. A file that took it meanwhile is replaced as an
// existing output would be; one that may not be replaced so ends the run
// and stays.
bool place_new_output(output_file& out, const output_target& target) {
  const int folder = descriptor(out.folder);
  bool placed = false;
  int error = 0;
  if (out.temp_path.empty()) {
    placed = link_unnamed(descriptor(out.handle), folder, target.leaf);
    error = errno;
    // Refused for another reason than a taken name: through a named file.
    if (!placed && error != EEXIST && !append_only_folder(folder) &&
        !move_to_named_file(out, 0666)) {
      return false;
    }
  }
  if (!placed && !out.temp_path.empty()) {
    const sigset_t previous = hold_signals();
    placed = rename_to_free_name(folder, out.temp_path, target.leaf);
    error = errno;
    if (placed) {
      guard_temp_file(-1, "");
      out.temp_path.clear();
    }
    release_signals(previous);
  }
  if (placed) return close_output(out);
  if (error != EEXIST || append_only_folder(folder)) return false;
  const int appeared = open_existing(folder, target.leaf);
  if (appeared < 0) return false;
  const bool replaced = replace_by_rename(folder, appeared) && replace_file(out, target, appeared);
  close(appeared);
  return replaced;
}

}  // namespace

output_target find_output_target(const std::string& name) {
  output_target target;
  target.path = name;
  const int folder = open_output_folder(name, target.leaf);
  if (folder < 0) return target;
  target.folder = folder;
  // Whatever replaces the name later, this is the file whose rules are read
  // and which an in-place write reaches.
  const int fd = open_existing(folder, target.leaf);
  target.usable = fd >= 0 || errno == ENOENT;
  target.exists = fd >= 0;
  target.file = fd;
  return target;
}

output_file open_output(const output_target& target) {
  if (target.exists && !replace_by_rename(descriptor(target.folder), descriptor(target.file))) {
    return open_in_place(target);
  }
  output_file out = create_new_file(target);
  if (!out.open) return target.exists && folder_refuses(errno) ? open_in_place(target) : out;
  if (!target.exists) return out;
  // Whether the new file can be exactly the old one is tried now, before
  // anything is written; then it is made private again until finished.
  if (give_rules_of(out, descriptor(target.file)) && make_private(descriptor(out.handle))) {
    return out;
  }
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
  if (out.in_place) {
    out.open = false;
    return complete_in_place(descriptor(out.handle), out.written);
  }
  if (!target.exists) return place_new_output(out, target);
  return replace_file(out, target, descriptor(target.file));
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
