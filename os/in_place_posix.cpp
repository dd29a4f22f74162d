// Writing an existing output in place on POSIX systems.
#include "os/in_place_posix.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>

#include "os/linux_calls_posix.h"

namespace {

// Whether a failed reservation says that the room is not there (a full
// disk, a quota, the file-size limit), rather than that the file system
// cannot reserve.
bool room_refused(int error) { return error == ENOSPC || error == EDQUOT || error == EFBIG; }

// Whether the file-size limit (ulimit -f) allows a file of `length` bytes;
// file systems do not all apply it to a reservation.
bool size_allowed(uint64_t length) {
  struct rlimit limit;
  return getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY ||
         length <= static_cast<uint64_t>(limit.rlim_cur);
}

// Whether `length` bytes fit in `fd` by what the file system says of its
// free space beyond the blocks the file holds already. True where the free
// space cannot be read.
bool room_available(int fd, uint64_t length) {
  struct stat file;
  struct statvfs disk;
  if (fstat(fd, &file) != 0 || fstatvfs(fd, &disk) != 0) return true;
  const uint64_t held = static_cast<uint64_t>(file.st_blocks) * 512;
  const uint64_t needed = length > held ? length - held : 0;
  return needed <= static_cast<uint64_t>(disk.f_bavail) * disk.f_frsize;
}

// Asks the file system for room for `length` bytes in `fd`; 0 when given,
// otherwise why not.
int allocate(int fd, uint64_t length) {
  int error = 0;
  do {
#ifdef VANDREL_LINUX_CALLS
    error = fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(length)) == 0 ? 0 : errno;
#elif defined(__APPLE__)
    error = EOPNOTSUPP;  // no posix_fallocate
#else
    error = posix_fallocate(fd, 0, static_cast<off_t>(length));
#endif
  } while (error == EINTR);
  return error;
}

}  // namespace

bool lock_for_writing(int fd) {
  int locked;
  do {
    locked = flock(fd, LOCK_EX);
  } while (locked != 0 && errno == EINTR);
  return locked == 0 || errno == ENOLCK;
}

bool reserve_room(int fd, uint64_t length) {
  if (length == 0) return true;
  if (!size_allowed(length)) return false;
  const int error = allocate(fd, length);
  return error == 0 || (!room_refused(error) && room_available(fd, length));
}

bool complete_in_place(int fd, uint64_t length) {
  struct stat file;
  const bool done = fstat(fd, &file) == 0 &&
                    (static_cast<uint64_t>(file.st_size) == length ||
                     ftruncate(fd, static_cast<off_t>(length)) == 0) &&
                    fsync(fd) == 0;
  const bool closed = close(fd) == 0;
  return done && closed;
}
