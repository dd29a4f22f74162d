// Writing the output file on POSIX systems: links, permissions, owner,
// access control lists and extended attributes, the atomic rename, writing
// in place where the folder refuses new files, and removing the temporary
// file when a signal ends the run.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/xattr.h>
#endif

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "os/output_file.h"

namespace {

// As many links as Linux follows in one path.
constexpr int MAX_LINKS = 40;
constexpr int TEMP_NAME_ATTEMPTS = 64;

// Every signal whose default action ends the process, apart from the real-time
// signals (all of which do) and SIGKILL, which cannot be caught. SIGPIPE and
// SIGXFSZ are ignored instead, so that a failed write is reported as one.
constexpr int TERMINATING_SIGNALS[] = {
    SIGHUP,    SIGINT,  SIGQUIT, SIGILL,  SIGTRAP, SIGABRT, SIGBUS,    SIGFPE,  SIGUSR1,
    SIGSEGV,   SIGUSR2, SIGALRM, SIGTERM, SIGXCPU, SIGSYS,  SIGVTALRM, SIGPROF,
#ifdef SIGPOLL
    SIGPOLL,
#endif
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
#ifdef SIGPWR
    SIGPWR,
#endif
#ifdef SIGLOST
    SIGLOST,
#endif
#ifdef SIGEMT
    SIGEMT,
#endif
};

// The signals above plus the real-time ones.
sigset_t terminating_set() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : TERMINATING_SIGNALS) sigaddset(&set, sig);
#ifdef SIGRTMIN
  for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) sigaddset(&set, sig);
#endif
  return set;
}

// The temporary file a signal removes, or null. Set and cleared only while
// the terminating signals are blocked; the text lives in guarded_storage.
const char* volatile guarded_path = nullptr;
std::string guarded_storage;

// Removes the temporary file, then ends the process by the same signal with
// its default action (a core dump where that is the default), so that the
// caller still sees the signal.
extern "C" void remove_temp_and_end(int sig) {
  if (guarded_path != nullptr) unlink(guarded_path);
  signal(sig, SIG_DFL);
  raise(sig);  // delivered as soon as this handler returns
}

// Catches every terminating signal that still has its default action. One
// the caller left ignored (a shell does so for background jobs) stays
// ignored, and a handler installed within the process (a sanitizer's) stays.
void catch_terminating_signals() {
  const sigset_t all = terminating_set();
  for (int sig = 1; sig < NSIG; ++sig) {
    if (sigismember(&all, sig) != 1) continue;
    struct sigaction current = {};
    if (sigaction(sig, nullptr, &current) != 0 || current.sa_handler != SIG_DFL) continue;
    struct sigaction action = {};
    action.sa_handler = remove_temp_and_end;
    action.sa_mask = all;
    sigaction(sig, &action, nullptr);
  }
}

// Holds back the terminating signals; returns the mask to restore afterwards.
sigset_t hold_signals() {
  const sigset_t block = terminating_set();
  sigset_t previous;
  sigprocmask(SIG_BLOCK, &block, &previous);
  return previous;
}

void release_signals(const sigset_t& previous) { sigprocmask(SIG_SETMASK, &previous, nullptr); }

int descriptor(const output_file& out) { return static_cast<int>(out.handle); }

std::string directory_of(const std::string& path) {
  const size_t end = path.rfind('/');
  if (end == std::string::npos) return ".";
  return end == 0 ? "/" : path.substr(0, end);
}

// Whether the system would follow the link `path` (described by `link`) when
// opening it for writing: Linux's protected-symlinks rule, applied always.
bool may_follow(const std::string& path, const struct stat& link) {
  struct stat directory;
  if (stat(directory_of(path).c_str(), &directory) != 0) return false;
  const bool shared_sticky = (directory.st_mode & S_ISVTX) && (directory.st_mode & S_IWOTH);
  return !shared_sticky || link.st_uid == geteuid() || link.st_uid == directory.st_uid;
}

// Where the link `path` points, as a path usable from here; "" on failure.
std::string link_destination(const std::string& path) {
  std::string text(256, '\0');
  for (;;) {
    const ssize_t length = readlink(path.c_str(), &text[0], text.size());
    if (length < 0) return "";
    if (static_cast<size_t>(length) < text.size()) {
      text.resize(static_cast<size_t>(length));
      break;
    }
    text.resize(text.size() * 2);
  }
  if (text.empty() || text[0] == '/') return text;
  return directory_of(path) + "/" + text;
}

// The target at `path`, which is not a link: missing, or a regular file the
// process may open for writing, or refused.
output_target describe_target(const std::string& path) {
  output_target target;
  target.path = path;
  struct stat file;
  if (stat(path.c_str(), &file) != 0) {
    target.usable = errno == ENOENT;
    return target;
  }
  if (!S_ISREG(file.st_mode)) return target;
  const int fd = open(path.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return target;
  close(fd);
  target.usable = true;
  target.exists = true;
  target.mode = file.st_mode & 0777;
  target.owner = file.st_uid;
  target.group = file.st_gid;
  return target;
}

// Gives the new file the replaced file's owner and group, or failing that its
// group, where the process may set them. Otherwise the new file is this
// user's, like any new file.
void take_over_owner(int fd, const output_target& target) {
  const auto owner = static_cast<uid_t>(target.owner);
  const auto group = static_cast<gid_t>(target.group);
  if (fchown(fd, owner, group) != 0) static_cast<void>(fchown(fd, static_cast<uid_t>(-1), group));
}

#ifdef __linux__
// The names of the extended attributes of `path`, each ending in a zero
// byte; false when they cannot be listed (a file system without extended
// attributes has none, and lists as empty).
bool attribute_names(const std::string& path, std::vector<char>& names) {
  for (;;) {
    const ssize_t size = listxattr(path.c_str(), nullptr, 0);
    if (size < 0) {
      names.clear();
      return errno == ENOTSUP;
    }
    names.resize(static_cast<size_t>(size));
    const ssize_t got = listxattr(path.c_str(), names.data(), names.size());
    if (got >= 0) {
      names.resize(static_cast<size_t>(got));
      return true;
    }
    if (errno != ERANGE) return false;  // ERANGE: it grew meanwhile
  }
}

// Copies one attribute of `path` to the file `fd`; false when it could not.
bool copy_attribute(const std::string& path, const char* name, int fd) {
  std::vector<char> value;
  for (;;) {
    const ssize_t size = getxattr(path.c_str(), name, nullptr, 0);
    if (size < 0) return false;
    value.resize(static_cast<size_t>(size));
    const ssize_t got = getxattr(path.c_str(), name, value.data(), value.size());
    if (got >= 0) {
      value.resize(static_cast<size_t>(got));
      break;
    }
    if (errno != ERANGE) return false;
  }
  return fsetxattr(fd, name, value.data(), value.size(), 0) == 0;
}

// Gives the file `fd` the extended attributes of the replaced file, its
// access control list included. Attributes the process may not set
// (security.*, trusted.* for an ordinary user) are left to the system's
// defaults; an access control list that cannot be carried over makes it
// false, since without it the new file could be more open than the old.
bool take_over_attributes(int fd, const output_target& target) {
  std::vector<char> names;
  if (!attribute_names(target.path, names)) return false;
  for (size_t at = 0; at < names.size(); at += std::strlen(&names[at]) + 1) {
    const char* name = &names[at];
    // POSIX and NFS access control lists.
    const bool access_rules = std::strncmp(name, "system.", 7) == 0;
    if (!copy_attribute(target.path, name, fd) && access_rules) return false;
  }
  return true;
}
#else
bool take_over_attributes(int, const output_target&) { return true; }
#endif

// Gives the new file `fd` the replaced file's owner, attributes and
// permission bits; false when its access rules could not all be carried over.
bool take_over_access(int fd, const output_target& target) {
  take_over_owner(fd, target);
  // The permission bits last: with an access control list, the group bits
  // are its mask, which they set again as they were.
  return take_over_attributes(fd, target) && fchmod(fd, static_cast<mode_t>(target.mode)) == 0;
}

// Creates the temporary file under a fresh name and records it for removal
// by a signal; the two happen with the signals held back. -1 on failure,
// with errno saying why.
int create_guarded(const output_target& target, std::string& path) {
  // Private until it holds the replaced file's access rules.
  const mode_t mode = target.exists ? 0600 : 0666;
  for (int attempt = 0; attempt < TEMP_NAME_ATTEMPTS; ++attempt) {
    path = temp_path_beside(target.path, static_cast<uint64_t>(getpid()), attempt);
    guarded_storage = path;
    const sigset_t previous = hold_signals();
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    const int error = errno;
    if (fd >= 0) guarded_path = guarded_storage.c_str();
    release_signals(previous);
    errno = error;
    if (fd >= 0 || error != EEXIST) return fd;
  }
  return -1;
}

// Whether a failure to create a file says that the folder refuses new files.
bool folder_refuses(int error) { return error == EACCES || error == EPERM || error == EROFS; }

}  // namespace

output_target find_output_target(const std::string& name) {
  std::string path = name;
  for (int links = 0; links <= MAX_LINKS; ++links) {
    struct stat link;
    if (lstat(path.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) return describe_target(path);
    if (!may_follow(path, link)) break;
    path = link_destination(path);
    if (path.empty()) break;
  }
  return output_target{};  // refused
}

output_file open_output(const output_target& target) {
  catch_terminating_signals();
  output_file out;
  const int fd = create_guarded(target, out.temp_path);
  if (fd < 0) {
    const int error = errno;
    out.temp_path.clear();
    if (!target.exists || !folder_refuses(error)) return out;
    // Written in place, as opening the file for writing would: it keeps its
    // inode, and with it its owner, access rules, attributes and links.
    const int in_place = open(target.path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
    out.open = in_place >= 0;
    out.handle = in_place;
    return out;
  }
  out.handle = fd;
  out.open = !target.exists || take_over_access(fd, target);
  if (!out.open) {
    close(fd);
    abandon_output(out);
  }
  return out;
}

bool write_output(output_file& out, const uint8_t* bytes, size_t count) {
  while (count > 0) {
    const ssize_t done = write(descriptor(out), bytes, count);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return false;
    bytes += done;
    count -= static_cast<size_t>(done);
    out.written += static_cast<uint64_t>(done);
  }
  return true;
}

bool finish_output(output_file& out, const output_target& target) {
  if (out.temp_path.empty()) {
    // In place: what is left of the old picture beyond the new one goes.
    const bool cut = ftruncate(descriptor(out), static_cast<off_t>(out.written)) == 0;
    const bool closed = close(descriptor(out)) == 0;
    out.open = false;
    return cut && closed;
  }
  const bool closed = close(descriptor(out)) == 0;
  out.open = false;
  if (!closed) return false;
  const sigset_t previous = hold_signals();
  const bool renamed = rename(out.temp_path.c_str(), target.path.c_str()) == 0;
  if (renamed) guarded_path = nullptr;
  release_signals(previous);
  return renamed;
}

void abandon_output(output_file& out) {
  if (out.open) close(descriptor(out));
  out.open = false;
  if (out.temp_path.empty()) return;
  const sigset_t previous = hold_signals();
  unlink(out.temp_path.c_str());
  guarded_path = nullptr;
  release_signals(previous);
}

void report_write_failures_as_errors() {
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
}
