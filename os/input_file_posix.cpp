// Reading the input file on POSIX systems.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "os/input_file.h"

namespace {

int descriptor(const input_file& in) { return static_cast<int>(in.handle); }

}  // namespace

input_file open_input(const std::string& path) {
  input_file in;
  const int fd = open(path.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return in;
  struct stat file;
  if (fstat(fd, &file) != 0 || S_ISDIR(file.st_mode)) {
    close(fd);
    return in;
  }
  in.open = true;
  in.handle = fd;
  in.sized = S_ISREG(file.st_mode);
  in.size = in.sized ? static_cast<uint64_t>(file.st_size) : 0;
  return in;
}

size_t read_input(const input_file& in, uint8_t* bytes, size_t count, bool& failed) {
  // One read moves at most about 2 GiB on Linux, fewer from a pipe.
  constexpr size_t MAX_READ = size_t{1} << 30;
  size_t done = 0;
  failed = false;
  while (done < count) {
    const size_t ask = count - done < MAX_READ ? count - done : MAX_READ;
    const ssize_t got = read(descriptor(in), bytes + done, ask);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      failed = got < 0;
      break;
    }
    done += static_cast<size_t>(got);
  }
  return done;
}

bool seek_input(const input_file& in, uint64_t offset) {
  return offset <= static_cast<uint64_t>(INT64_MAX) &&
         lseek(descriptor(in), static_cast<off_t>(offset), SEEK_SET) >= 0;
}

void close_input(input_file& in) {
  if (in.open) close(descriptor(in));
  in.open = false;
}
