// Checks made on an existing output and its folder before anything is
// written, on POSIX systems, all through descriptors already open.
#include "os/file_checks_posix.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

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

// The id of the mount the open file `fd` lies on, as statx reports it; 0
// when it cannot (kernels before 5.8, and emulators that pass the call on
// but not that field).
uint64_t statx_mount_id(int fd) {
  struct statx info;
  return describe(fd, STATX_MNT_ID, info) ? info.stx_mnt_id : 0;
}

// The id of the mount the open file `fd` lies on, as name_to_handle_at
// reports it; 0 where the file system gives no handles.
uint64_t handle_mount_id(int fd) {
  alignas(struct file_handle) unsigned char storage[sizeof(struct file_handle) + MAX_HANDLE_SZ];
  struct file_handle* handle = reinterpret_cast<struct file_handle*>(storage);
  handle->handle_bytes = MAX_HANDLE_SZ;
  int id = 0;
  return name_to_handle_at(fd, "", handle, &id, AT_EMPTY_PATH) == 0 && id > 0
             ? static_cast<uint64_t>(id)
             : 0;
}

// Whether `file` lies on the same mount as `folder`: the same device and the
// same mount id, which tells a file bind-mounted from the same file system
// apart. The ids come from statx, or else from file handles; where neither
// can tell, the devices decide.
bool same_mount(int folder, int file, const struct stat& folder_info,
                const struct stat& file_info) {
  if (folder_info.st_dev != file_info.st_dev) return false;
  uint64_t folder_mount = statx_mount_id(folder);
  uint64_t file_mount = statx_mount_id(file);
  if (folder_mount == 0 || file_mount == 0) {
    folder_mount = handle_mount_id(folder);
    file_mount = handle_mount_id(file);
  }
  return folder_mount == 0 || file_mount == 0 || folder_mount == file_mount;
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
