// Checks made on an existing output and its folder before anything is
// written, on POSIX systems, all through descriptors already open.
#include "os/file_checks_posix.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "os/linux_calls_posix.h"
#ifdef VANDREL_LINUX_CALLS
#include <linux/fs.h>
#include <sys/ioctl.h>
#endif

namespace {

// The level of the system's protected-regular setting that decides whether
// group-writable sticky folders count too: 2 where the system says so, 1
// (world-writable ones only) otherwise, and where it cannot be read.
int protected_regular_level() {
#ifdef VANDREL_LINUX_CALLS
  const int fd = open("/proc/sys/fs/protected_regular", O_RDONLY | O_CLOEXEC);
  char level = '1';
  if (fd >= 0) {
    if (read(fd, &level, 1) != 1) level = '1';
    close(fd);
  }
  return level == '2' ? 2 : 1;
#else
  return 1;
#endif
}

#ifdef VANDREL_LINUX_CALLS
// Whether this process may rename a file over `file` in `folder`: in a
// sticky folder only the file's owner, the folder's owner or root may.
bool may_rename_over(const struct stat& folder, const struct stat& file) {
  const uid_t user = geteuid();
  return !(folder.st_mode & S_ISVTX) || user == 0 || file.st_uid == user || folder.st_uid == user;
}

// What statx says of the open file `fd` (`mask`); false when it cannot.
bool describe(int fd, unsigned mask, struct statx& info) {
  return statx(fd, "", AT_EMPTY_PATH, mask, &info) == 0 && (info.stx_mask & mask) == mask;
}

// Whether `file` lies on the same mount as `folder`: the same device and,
// the same mount id, which tells a file bind-mounted from the same
// file system apart. Where the mount ids cannot be read (kernels before
// 5.8), the devices decide.
bool same_mount(int folder, int file, const struct stat& folder_info,
                const struct stat& file_info) {
  if (folder_info.st_dev != file_info.st_dev) return false;
  struct statx folder_mount;
  struct statx file_mount;
  if (describe(folder, STATX_MNT_ID, folder_mount) && describe(file, STATX_MNT_ID, file_mount)) {
    return folder_mount.stx_mnt_id == file_mount.stx_mnt_id;
  }
  return true;
}
#endif

}  // namespace

bool protected_regular(int folder, const struct stat& file) {
  struct stat where;
  if (fstat(folder, &where) != 0) return true;
  const mode_t shared =
      protected_regular_level() == 2 ? (S_IWOTH | S_IWGRP) : static_cast<mode_t>(S_IWOTH);
  const uid_t user = geteuid();
  return (where.st_mode & S_ISVTX) && (where.st_mode & shared) && file.st_uid != user &&
         file.st_uid != where.st_uid;
}

bool append_only_folder(int folder) {
#ifdef VANDREL_LINUX_CALLS
  // statx reads the flag through a descriptor that only names the folder;
  // where the file system does not say it there, the folder's flags do.
  struct statx info;
  if (describe(folder, 0, info) && (info.stx_attributes_mask & STATX_ATTR_APPEND)) {
    return (info.stx_attributes & STATX_ATTR_APPEND) != 0;
  }
  const int readable = openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  int flags = 0;
  const bool read = readable >= 0 && ioctl(readable, FS_IOC_GETFLAGS, &flags) == 0;
  if (readable >= 0) close(readable);
  return read && (flags & FS_APPEND_FL) != 0;
#elif defined(UF_APPEND) && defined(SF_APPEND)
  struct stat info;
  return fstat(folder, &info) == 0 && (info.st_flags & (UF_APPEND | SF_APPEND)) != 0;
#else
  static_cast<void>(folder);
  return false;
#endif
}

bool replace_by_rename(int folder, int file) {
#ifdef VANDREL_LINUX_CALLS
  struct stat folder_info;
  struct stat file_info;
  return fstat(folder, &folder_info) == 0 && fstat(file, &file_info) == 0 &&
         may_rename_over(folder_info, file_info) && !append_only_folder(folder) &&
         same_mount(folder, file, folder_info, file_info);
#else
  // The access control lists and attributes other systems give files are
  // not read here, so a new file could not carry them.
  static_cast<void>(folder);
  static_cast<void>(file);
  return false;
#endif
}
