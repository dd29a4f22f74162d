// Copying a file's access rules on POSIX systems, from descriptor to
// descriptor, so that nothing is looked up by name in between.
#include "os/access_rules_posix.h"

#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/xattr.h>
#endif

#include <cerrno>
#include <cstring>
#include <vector>

namespace {

constexpr mode_t ALL_PERMISSION_BITS = 07777;

#ifdef __linux__
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
#endif

}  // namespace

bool copy_access_rules(int from, int to) {
  struct stat theirs;
  if (fstat(from, &theirs) != 0 || fchown(to, theirs.st_uid, theirs.st_gid) != 0) return false;
  // The permission bits last: they set the access control list's mask again
  // as it was, and changing the owner clears the set-ID bits.
  const mode_t mode = theirs.st_mode & ALL_PERMISSION_BITS;
  struct stat ours;
  return give_attributes(from, to) && fchmod(to, mode) == 0 && fstat(to, &ours) == 0 &&
         ours.st_uid == theirs.st_uid && ours.st_gid == theirs.st_gid &&
         (ours.st_mode & ALL_PERMISSION_BITS) == mode;
}

bool make_private(int fd) {
  if (fchown(fd, geteuid(), static_cast<gid_t>(-1)) != 0) return false;
#ifdef __linux__
  const int removed = fremovexattr(fd, "system.posix_acl_access");
  if (removed != 0 && errno != ENODATA && errno != ENOTSUP) return false;
#endif
  return fchmod(fd, 0600) == 0;
}
