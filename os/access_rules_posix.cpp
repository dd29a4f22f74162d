// Copying a file's access rules on POSIX systems, from descriptor to
// descriptor, so that nothing is looked up by name in between.
#include "os/access_rules_posix.h"

#include <sys/stat.h>
#include <unistd.h>

#include "os/linux_calls_posix.h"
#ifdef VANDREL_LINUX_CALLS
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/xattr.h>
#endif

#include <cerrno>
#include <cstring>
#include <vector>

namespace {

constexpr mode_t ALL_PERMISSION_BITS = 07777;

// Whether a refused change of owner or mode may say only that the file
// system keeps none (FAT, some FUSE file systems): ENOSYS, EOPNOTSUPP, EPERM.
bool keeps_none(int error) { return error == ENOSYS || error == EOPNOTSUPP || error == EPERM; }

// Gives `fd` the owner `user` and group `group` (-1: unchanged). A file
// system that keeps no owners refuses even a change to what the file shows
// already, which is then as good as done.
bool give_owner(int fd, uid_t user, gid_t group) {
  if (fchown(fd, user, group) == 0) return true;
  struct stat now;
  return keeps_none(errno) && fstat(fd, &now) == 0 && now.st_uid == user &&
         (group == static_cast<gid_t>(-1) || now.st_gid == group);
}

// Gives `fd` the permission bits `mode`, as give_owner gives an owner.
bool give_mode(int fd, mode_t mode) {
  if (fchmod(fd, mode) == 0) return true;
  struct stat now;
  return keeps_none(errno) && fstat(fd, &now) == 0 && (now.st_mode & ALL_PERMISSION_BITS) == mode;
}

#ifdef VANDREL_LINUX_CALLS
// The flags chattr shows that are given to the new file: no undeletion, no
// dump, no access times, synchronous writes, compression or none, data
// journalling, no tail merging, no copy on write, secure deletion. Whoever
// owns a file may set these. Append-only and immutable files cannot be
// opened for writing; the rest the file system sets itself.
constexpr int KEPT_FLAGS = FS_SECRM_FL | FS_UNRM_FL | FS_COMPR_FL | FS_SYNC_FL | FS_NODUMP_FL |
                           FS_NOATIME_FL | FS_JOURNAL_DATA_FL | FS_NOTAIL_FL | FS_NOCOW_FL |
                           FS_NOCOMP_FL;
constexpr int UNWRITABLE_FLAGS = FS_APPEND_FL | FS_IMMUTABLE_FL;

// The chattr flags of `fd`; 0 on a file system that has none.
bool file_flags(int fd, int& flags) {
  flags = 0;
  if (ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) return true;
  return errno == ENOTTY || errno == EOPNOTSUPP || errno == EINVAL || errno == ENOSYS;
}

// Gives `to` the kept flags of `from`, and takes off those `from` lacks.
bool give_flags(int from, int to) {
  int theirs = 0;
  int ours = 0;
  if (!file_flags(from, theirs) || !file_flags(to, ours) || (theirs & UNWRITABLE_FLAGS)) {
    return false;
  }
  if ((ours & KEPT_FLAGS) == (theirs & KEPT_FLAGS)) return true;
  int wanted = (ours & ~KEPT_FLAGS) | (theirs & KEPT_FLAGS);
  return ioctl(to, FS_IOC_SETFLAGS, &wanted) == 0 && file_flags(to, ours) &&
         (ours & KEPT_FLAGS) == (theirs & KEPT_FLAGS);
}

// The names of the extended attributes of `fd`, each ending in a zero byte;
// false when they cannot be listed (a file system without extended
// attributes has none, and lists as empty).
bool attribute_names(int fd, std::vector<char>& names) {
  for (;;) {
    const ssize_t size = flistxattr(fd, nullptr, 0);
    if (size < 0) {
      names.clear();
      return errno == ENOTSUP;
    }
    names.resize(static_cast<size_t>(size));
    const ssize_t got = flistxattr(fd, names.data(), names.size());
    if (got >= 0) {
      names.resize(static_cast<size_t>(got));
      return true;
    }
    if (errno != ERANGE) return false;  // ERANGE: it grew meanwhile
  }
}

// The value of the attribute `name` of `fd`; false when it cannot be read.
bool attribute_value(int fd, const char* name, std::vector<char>& value) {
  for (;;) {
    const ssize_t size = fgetxattr(fd, name, nullptr, 0);
    if (size < 0) return false;
    value.resize(static_cast<size_t>(size));
    const ssize_t got = fgetxattr(fd, name, value.data(), value.size());
    if (got >= 0) {
      value.resize(static_cast<size_t>(got));
      return true;
    }
    if (errno != ERANGE) return false;
  }
}

bool listed(const std::vector<char>& names, const char* name) {
  for (size_t at = 0; at < names.size(); at += std::strlen(&names[at]) + 1) {
    if (std::strcmp(&names[at], name) == 0) return true;
  }
  return false;
}

// Labels the system sets on every new file itself (security.selinux and the
// like): copied where allowed, never removed.
bool system_label(const char* name) { return std::strncmp(name, "security.", 9) == 0; }

// Gives `to` the extended attributes of `from`, its access control list
// (system.posix_acl_access) among them, and removes those `from` lacks.
bool give_attributes(int from, int to) {
  std::vector<char> theirs;
  std::vector<char> ours;
  if (!attribute_names(from, theirs) || !attribute_names(to, ours)) return false;
  std::vector<char> value;
  for (size_t at = 0; at < theirs.size(); at += std::strlen(&theirs[at]) + 1) {
    const char* name = &theirs[at];
    const bool given = attribute_value(from, name, value) &&
                       fsetxattr(to, name, value.data(), value.size(), 0) == 0;
    if (!given && !system_label(name)) return false;
  }
  for (size_t at = 0; at < ours.size(); at += std::strlen(&ours[at]) + 1) {
    const char* name = &ours[at];
    if (listed(theirs, name) || system_label(name)) continue;
    if (fremovexattr(to, name) != 0 && errno != ENODATA) return false;
  }
  return true;
}
#else
bool give_attributes(int, int) { return true; }
bool give_flags(int, int) { return true; }
#endif

}  // namespace

bool copy_access_rules(int from, int to) {
  struct stat theirs;
  if (fstat(from, &theirs) != 0 || !give_owner(to, theirs.st_uid, theirs.st_gid)) return false;
  // The permission bits last: they set the access control list's mask again
  // as it was, and changing the owner clears the set-ID bits.
  const mode_t mode = theirs.st_mode & ALL_PERMISSION_BITS;
  struct stat ours;
  return give_attributes(from, to) && give_flags(from, to) && give_mode(to, mode) &&
         fstat(to, &ours) == 0 && ours.st_uid == theirs.st_uid && ours.st_gid == theirs.st_gid &&
         (ours.st_mode & ALL_PERMISSION_BITS) == mode;
}

bool make_private(int fd) {
  if (!give_owner(fd, geteuid(), static_cast<gid_t>(-1))) return false;
#ifdef VANDREL_LINUX_CALLS
  const int removed = fremovexattr(fd, "system.posix_acl_access");
  if (removed != 0 && errno != ENODATA && errno != ENOTSUP) return false;
#endif
  // A file system that keeps no modes (FAT) shows every file alike: the new
  // file, which shows the old file's mode already, is then no more open.
  return give_mode(fd, 0600) || errno == ENOSYS || errno == EOPNOTSUPP;
}
