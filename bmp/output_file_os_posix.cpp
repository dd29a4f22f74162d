// Replacing the output file on POSIX systems: links, permissions, owner,
// the atomic rename, and removing the temporary file when interrupted.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "bmp/output_file_os.h"

namespace {

// As many links as Linux follows in one path.
constexpr int MAX_LINKS = 40;
constexpr int TEMP_NAME_ATTEMPTS = 64;
constexpr int INTERRUPTIONS[] = {SIGINT, SIGTERM, SIGHUP};

// The temporary file an interruption removes, or null. Set and cleared only
// while the interruptions are blocked; the text lives in guarded_storage.
const char* volatile guarded_path = nullptr;
std::string guarded_storage;

sigset_t interruption_set() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : INTERRUPTIONS) sigaddset(&set, sig);
  return set;
}

// Removes the temporary file, then ends the process by the same signal with
// its default action, so that the caller still sees the signal.
extern "C" void remove_temp_and_end(int sig) {
  if (guarded_path != nullptr) unlink(guarded_path);
  signal(sig, SIG_DFL);
  raise(sig);  // delivered as soon as this handler returns
}

// Catches every interruption that is not ignored (a shell ignores some for
// background jobs; those must stay ignored).
void catch_interruptions() {
  for (int sig : INTERRUPTIONS) {
    struct sigaction current = {};
    if (sigaction(sig, nullptr, &current) != 0 || current.sa_handler == SIG_IGN) continue;
    struct sigaction action = {};
    action.sa_handler = remove_temp_and_end;
    action.sa_mask = interruption_set();
    sigaction(sig, &action, nullptr);
  }
}

// Holds back the interruptions; returns the mask to restore afterwards.
sigset_t hold_interruptions() {
  const sigset_t block = interruption_set();
  sigset_t previous;
  sigprocmask(SIG_BLOCK, &block, &previous);
  return previous;
}

void release_interruptions(const sigset_t& previous) {
  sigprocmask(SIG_SETMASK, &previous, nullptr);
}

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
// group, where the process may set them; true when it could. Otherwise the
// new file is this user's, like any new file.
bool take_over_owner(int fd, const output_target& target) {
  const auto owner = static_cast<uid_t>(target.owner);
  const auto group = static_cast<gid_t>(target.group);
  return fchown(fd, owner, group) == 0 || fchown(fd, static_cast<uid_t>(-1), group) == 0;
}

// Creates the file under a fresh name and records it for removal on
// interruption; the two happen with interruptions held back.
int create_guarded(const output_target& target, std::string& path) {
  // Private until it holds the replaced file's permissions.
  const mode_t mode = target.exists ? 0600 : 0666;
  for (int attempt = 0; attempt < TEMP_NAME_ATTEMPTS; ++attempt) {
    path = temp_path_beside(target.path, static_cast<uint64_t>(getpid()), attempt);
    guarded_storage = path;
    const sigset_t previous = hold_interruptions();
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    const int error = errno;
    if (fd >= 0) guarded_path = guarded_storage.c_str();
    release_interruptions(previous);
    if (fd >= 0 || error != EEXIST) return fd;
  }
  return -1;
}

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

temp_output create_temp_output(const output_target& target) {
  catch_interruptions();
  temp_output temp;
  const int fd = create_guarded(target, temp.path);
  if (fd < 0) return temp;
  if (target.exists) take_over_owner(fd, target);
  if (!target.exists || fchmod(fd, static_cast<mode_t>(target.mode)) == 0) {
    temp.stream = fdopen(fd, "wb");
  }
  if (temp.stream == nullptr) {
    close(fd);
    discard_temp(temp);
  }
  return temp;
}

bool replace_with_temp(const temp_output& temp, const output_target& target) {
  const sigset_t previous = hold_interruptions();
  const bool renamed = rename(temp.path.c_str(), target.path.c_str()) == 0;
  if (renamed) guarded_path = nullptr;
  release_interruptions(previous);
  return renamed;
}

void discard_temp(const temp_output& temp) {
  const sigset_t previous = hold_interruptions();
  unlink(temp.path.c_str());
  guarded_path = nullptr;
  release_interruptions(previous);
}

void report_write_failures_as_errors() {
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
}
