// Resolving an output name to its folder on POSIX systems, one component at
// a time, with the protected-links rule applied to every link on the way.
#include "os/output_path_posix.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

// As many links as Linux follows in one path.
constexpr int MAX_LINKS = 40;

// A descriptor that only names a folder: enough to look names up in it.
#if defined(O_PATH)
constexpr int FOLDER_FLAGS = O_PATH | O_DIRECTORY | O_CLOEXEC;
#elif defined(O_SEARCH)
constexpr int FOLDER_FLAGS = O_SEARCH | O_DIRECTORY | O_CLOEXEC;
#else
constexpr int FOLDER_FLAGS = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif

// Appends the components of `path` to `pending` in reverse order, so that
// the last one appended is the first to resolve. "" and "." change nothing.
void push_components(const std::string& path, std::vector<std::string>& pending) {
  size_t end = path.size();
  while (end > 0) {
    const size_t slash = path.rfind('/', end - 1);
    const size_t begin = slash == std::string::npos ? 0 : slash + 1;
    const std::string component = path.substr(begin, end - begin);
    if (!component.empty() && component != ".") pending.push_back(component);
    if (slash == std::string::npos) break;
    end = slash;
  }
}

// Whether Linux would follow the link described by `link`, found in the
// folder `folder`, for writing: not when the folder is sticky and
// world-writable and the link belongs to neither this user nor the folder's
// owner.
bool may_follow(int folder, const struct stat& link) {
  struct stat where;
  if (fstat(folder, &where) != 0) return false;
  const bool shared_sticky = (where.st_mode & S_ISVTX) && (where.st_mode & S_IWOTH);
  return !shared_sticky || link.st_uid == geteuid() || link.st_uid == where.st_uid;
}

// The text of the link `name` in `folder`; false on failure or when empty.
bool read_link(int folder, const std::string& name, std::string& text) {
  text.assign(256, '\0');
  for (;;) {
    const ssize_t length = readlinkat(folder, name.c_str(), &text[0], text.size());
    if (length <= 0) return false;
    if (static_cast<size_t>(length) < text.size()) {
      text.resize(static_cast<size_t>(length));
      return true;
    }
    text.resize(text.size() * 2);
  }
}

// Replaces the folder descriptor `folder` by `next`; false when `next` is -1.
bool move_to(int& folder, int next) {
  close(folder);
  folder = next;
  return next >= 0;
}

}  // namespace

int open_output_folder(const std::string& name, std::string& leaf) {
  std::vector<std::string> pending;  // what is left to resolve, the next last
  push_components(name, pending);
  int folder = open(!name.empty() && name[0] == '/' ? "/" : ".", FOLDER_FLAGS);
  int links = 0;
  while (folder >= 0 && !pending.empty()) {
    const std::string component = pending.back();
    pending.pop_back();
    struct stat entry;
    if (fstatat(folder, component.c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0) {
      if (!pending.empty()) break;  // a missing folder
      leaf = component;             // a file yet to be made
      return folder;
    }
    if (S_ISLNK(entry.st_mode)) {
      std::string text;
      if (++links > MAX_LINKS || !may_follow(folder, entry) ||
          !read_link(folder, component, text)) {
        break;
      }
      if (text[0] == '/' && !move_to(folder, open("/", FOLDER_FLAGS))) return -1;
      push_components(text, pending);
    } else if (pending.empty()) {
      leaf = component;
      return folder;
    } else if (!S_ISDIR(entry.st_mode) ||
               !move_to(folder, openat(folder, component.c_str(), FOLDER_FLAGS | O_NOFOLLOW))) {
      break;
    }
  }
  if (folder >= 0) close(folder);
  return -1;
}
