// Runs the built program for the end-to-end tests.
#include "run_tool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "bmp_builder.h"
#include "os/utf16.h"

#ifndef _WIN32
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/xattr.h>
#endif

#include <chrono>
#include <fstream>
#include <sstream>
#endif

namespace fs = std::filesystem;

namespace {

// What the program printed. Windows' C library writes text streams with
// CR LF line ends; each is read back as the single LF the program wrote, so
// any other CR (an extra translation) still shows.
std::string read_text(const fs::path& path) {
  const std::vector<uint8_t> bytes = read_file(path.string());
  std::string text(bytes.begin(), bytes.end());
#ifdef _WIN32
  for (size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at)) {
    text.erase(at, 1);
    ++at;
  }
#endif
  return text;
}

// Runs `command` (UTF-8) through the system's shell: on Windows as UTF-16,
// so that every name reaches the program whatever the code page.
int run_command(const std::string& command) {
#ifdef _WIN32
  std::u16string units;
  if (!utf16_from_utf8(command, units)) return -1;
  return _wsystem(std::wstring(units.begin(), units.end()).c_str());
#else
  return std::system(command.c_str());
#endif
}

}  // namespace

namespace {

// Gives the owner every permission on `dir` and the folders below it, which
// a test may have taken away, so that the tree can be removed.
void unlock_tree(const fs::path& dir) {
  std::error_code ignored;
  fs::permissions(dir, fs::perms::owner_all, fs::perm_options::add, ignored);
  for (fs::directory_iterator it(dir, ignored), end; it != end; it.increment(ignored)) {
    if (it->is_directory(ignored) && !it->is_symlink(ignored)) unlock_tree(it->path());
  }
}

// One folder per run of the test program, under the system's temporary
// directory with a name no other run (of any user) has, removed when the
// tests end, whether they passed or not, and whatever permissions a test
// left on the folders inside it.
struct scratch_root : testing::Environment {
  fs::path path;
  void TearDown() override {
    if (path.empty()) return;
    unlock_tree(path);
    std::error_code ignored;
    fs::remove_all(path, ignored);
  }
};

scratch_root* const scratch =
    static_cast<scratch_root*>(testing::AddGlobalTestEnvironment(new scratch_root));

const fs::path& scratch_path() {
  std::random_device entropy;
  while (scratch->path.empty()) {
    const fs::path candidate =
        fs::temp_directory_path() / ("vandrel-tests-" + std::to_string(entropy()));
    if (fs::create_directory(candidate)) scratch->path = candidate;
  }
  return scratch->path;
}

// Where the tests run as root, some runs are an ordinary user's, who may not
// reach a checkout in a private folder (or anything the build made there):
// `built` is then run from a copy in this run's own folder, which anyone may
// enter. Elsewhere it is run where it is.
fs::path reachable_copy(const fs::path& built) {
#ifdef _WIN32
  return built;
#else
  if (geteuid() != 0) return built;
  static std::mutex copying;  // runs start from several threads at once
  const std::lock_guard<std::mutex> lock(copying);
  const fs::path folder = scratch_path() / "programs";
  const fs::path copy = folder / built.filename();
  if (!fs::exists(copy)) {
    const fs::perms open = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                           fs::perms::others_read | fs::perms::others_exec;
    fs::permissions(scratch_path(), open);
    fs::create_directory(folder);
    fs::permissions(folder, open);
    fs::copy_file(built, copy);
    fs::permissions(copy, open);
  }
  return copy;
#endif
}

}  // namespace

std::string built_file(const fs::path& built) {
  const char* copies = std::getenv("VANDREL_PROGRAMS");
  return (copies != nullptr ? fs::path(copies) / built.filename() : reachable_copy(built))
      .u8string();
}

#ifndef _WIN32
std::string posix_only_command() {
#ifdef VANDREL_POSIX_ONLY_BINARY
  const std::string program = built_file(VANDREL_POSIX_ONLY_BINARY);
  if (access(program.c_str(), X_OK) == 0) return VANDREL_RUNNER "\"" + program + "\"";
#endif
  return "";
}
#endif

std::string tool_command(bool named_temp_files) {
#ifdef VANDREL_NAMED_TEMP_BINARY
  const fs::path built = named_temp_files ? VANDREL_NAMED_TEMP_BINARY : VANDREL_BINARY;
#else
  static_cast<void>(named_temp_files);
  const fs::path built = VANDREL_BINARY;
#endif
  return VANDREL_RUNNER "\"" + built_file(built) + "\"";
}

fs::path fresh_dir() {
  const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
  const fs::path dir = scratch_path() / test->name();
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir;
}

run_result run_tool(const fs::path& dir, const std::string& args, const std::string& setup,
                    const std::string& program) {
  // Named per run, so that runs from several threads at once do not mix.
  static std::atomic<int> runs{0};
  const std::string name = dir.filename().string() + "." + std::to_string(runs++);
  const fs::path out = dir.parent_path() / (name + ".out");
  const fs::path err = dir.parent_path() / (name + ".err");
#ifdef _WIN32
  const std::string change_dir = "cd /d \"";  // cmd changes drive only when asked
#else
  const std::string change_dir = "cd \"";
#endif
  const std::string command = change_dir + dir.u8string() + "\" && " + setup + program + " " +
                              args + " >\"" + out.u8string() + "\" 2>\"" + err.u8string() + "\"";
  const int raw = run_command(command);
  run_result r;
#ifdef _WIN32
  r.status = raw;
#else
  r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
#endif
  r.out = read_text(out);
  r.err = read_text(err);
  return r;
}

std::vector<run_result> run_tools_at_once(const fs::path& dir, const std::vector<std::string>& args,
                                          const std::string& runner) {
  std::vector<run_result> results(args.size());
#ifdef _WIN32
  std::vector<std::thread> runs;
  for (size_t k = 0; k < args.size(); ++k) {
    runs.emplace_back([&, k] { results[k] = run_tool(dir, args[k], runner); });
  }
  for (std::thread& t : runs) t.join();
#else
  // Every run is started from this thread: under qemu-user, a fork made
  // while other threads run can hang the child for ever.
  const std::string name = dir.filename().string() + ".at_once.";
  const auto output = [&](size_t k, const char* stream) {
    return dir.parent_path() / (name + std::to_string(k) + stream);
  };
  std::vector<pid_t> pids;
  for (size_t k = 0; k < args.size(); ++k) {
    pids.push_back(start_tool(dir,
                              args[k] + " >\"" + output(k, ".out").string() + "\" 2>\"" +
                                  output(k, ".err").string() + "\"",
                              "", runner + tool_command()));
  }
  for (size_t k = 0; k < args.size(); ++k) {
    results[k].status = wait_tool(pids[k]);
    results[k].out = read_text(output(k, ".out"));
    results[k].err = read_text(output(k, ".err"));
  }
#endif
  return results;
}

std::set<std::string> names_in(const fs::path& dir) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) {
    names.insert(entry.path().filename().u8string());
  }
  return names;
}

#ifndef _WIN32
namespace {

// Whether `link`, where an open descriptor leads, is a new output file in
// `dir`: a named temporary file, or on Linux a file without a name.
bool new_output_file(const std::string& link, const std::string& dir) {
  const std::string deleted = " (deleted)";
  const bool unnamed = link.size() > deleted.size() &&
                       link.compare(link.size() - deleted.size(), deleted.size(), deleted) == 0;
  return link.rfind(dir + "/", 0) == 0 && (unnamed || fs::path(link).extension() == ".tmp");
}

// Whether the process `pid`, run in `dir`, has its new output file open.
bool writing(pid_t pid, const fs::path& dir) {
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator(dir, ignored)) {
    if (entry.path().extension() == ".tmp") return true;
  }
  const fs::path descriptors = "/proc/" + std::to_string(pid) + "/fd";
  for (fs::directory_iterator it(descriptors, ignored), end; it != end; it.increment(ignored)) {
    if (new_output_file(fs::read_symlink(it->path(), ignored).string(), dir.string())) return true;
  }
  return false;
}

// How far the process `pid`, run in `dir`, has written its new output file
// (the position of the descriptor it writes with); UINT64_MAX when it has
// none open.
uint64_t bytes_written(pid_t pid, const fs::path& dir) {
  const std::string process = "/proc/" + std::to_string(pid);
  std::error_code ignored;
  for (fs::directory_iterator it(process + "/fd", ignored), end; it != end; it.increment(ignored)) {
    if (!new_output_file(fs::read_symlink(it->path(), ignored).string(), dir.string())) continue;
    std::ifstream info(process + "/fdinfo/" + it->path().filename().string());
    for (std::string line; std::getline(info, line);) {
      if (line.rfind("pos:", 0) == 0) return std::stoull(line.substr(4));
    }
  }
  return UINT64_MAX;
}

// The processes `pid` started, read from /proc.
std::vector<pid_t> children_of(pid_t pid) {
  std::vector<pid_t> children;
  std::error_code ignored;
  for (fs::directory_iterator it("/proc", ignored), end; it != end; it.increment(ignored)) {
    std::ifstream stat(it->path() / "stat");
    std::string line;
    if (!std::getline(stat, line) || line.rfind(')') == std::string::npos) continue;
    // After the name in parentheses: the state, then the parent's id.
    std::istringstream rest(line.substr(line.rfind(')') + 1));
    std::string state;
    long parent = 0;
    if (rest >> state >> parent && parent == pid) {
      children.push_back(static_cast<pid_t>(std::stol(it->path().filename().string())));
    }
  }
  return children;
}

bool has_open(pid_t pid, const fs::path& file) {
  std::error_code ignored;
  const fs::path descriptors = "/proc/" + std::to_string(pid) + "/fd";
  for (fs::directory_iterator it(descriptors, ignored), end; it != end; it.increment(ignored)) {
    if (fs::read_symlink(it->path(), ignored) == file) return true;
  }
  return false;
}

bool ended(pid_t pid) {
  siginfo_t info = {};
  waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT);
  return info.si_pid == pid;
}

}  // namespace

std::string as_ordinary_user() {
  return geteuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "";
}

bool runs_as_ordinary_user(const fs::path& dir) {
  return run_tool(dir, "", as_ordinary_user()).err.rfind("Usage:", 0) == 0;
}

bool give_to_ordinary_user(const fs::path& path) {
  return geteuid() != 0 || chown(path.c_str(), 65534, 65534) == 0;
}

void lock_folder(const fs::path& dir) {
  fs::permissions(dir, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                           fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
}

void unlock_folder(const fs::path& dir) { fs::permissions(dir, fs::perms::owner_all); }

#ifdef __linux__
std::vector<uint8_t> attribute(const fs::path& path, const char* name) {
  std::vector<uint8_t> value(256);
  const ssize_t size = getxattr(path.c_str(), name, value.data(), value.size());
  value.resize(size < 0 ? 0 : static_cast<size_t>(size));
  return value;
}
#endif

pid_t start_tool(const fs::path& dir, const std::string& args, const std::string& setup,
                 const std::string& program) {
  // No core dumps: the signals whose default action dumps one are tested too.
  const std::string command = "ulimit -c 0; " + setup + "exec " + program + " " + args;
  const std::string where = dir.string();
  const pid_t pid = fork();
  if (pid == 0) {
    // Every signal at its default action, whatever the tests inherited (a
    // shell ignores SIGINT and SIGQUIT for a job it runs in the background).
    for (int sig = 1; sig < NSIG; ++sig) signal(sig, SIG_DFL);
    if (chdir(where.c_str()) == 0) execl("/bin/sh", "sh", "-c", command.c_str(), nullptr);
    _exit(127);
  }
  return pid;
}

bool wait_until_writing(pid_t pid, const fs::path& dir) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!writing(pid, dir)) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    if (ended(pid)) return false;  // ended before writing
  }
  return true;
}

bool wait_until_open(pid_t pid, const fs::path& file) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (std::chrono::steady_clock::now() < deadline && !ended(pid)) {
    if (has_open(pid, file)) return true;
    for (pid_t child : children_of(pid)) {
      if (has_open(child, file)) return true;
    }
  }
  return false;
}

pid_t wait_until_stopped(pid_t pid, const fs::path& trace) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (std::chrono::steady_clock::now() < deadline && !ended(pid)) {
    // "<pid> --- stopped by SIGSTOP ---", once the process is stopped.
    std::ifstream lines(trace);
    for (std::string line; std::getline(lines, line);) {
      if (line.find("--- stopped by ") != std::string::npos) return std::stoi(line);
    }
  }
  return -1;
}

int wait_tool(pid_t pid, int seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!ended(pid) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (!ended(pid)) kill(pid, SIGKILL);
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFSIGNALED(status) ? SIGNALLED + WTERMSIG(status) : WEXITSTATUS(status);
}

bool stop_while_writing(pid_t pid, const fs::path& dir, uint64_t full_size) {
  if (!wait_until_writing(pid, dir) || kill(pid, SIGSTOP) != 0) return false;
  siginfo_t info = {};
  waitid(P_PID, static_cast<id_t>(pid), &info, WSTOPPED | WEXITED | WNOWAIT);
  if (info.si_code == CLD_STOPPED && bytes_written(pid, dir) < full_size) return true;
  kill(pid, SIGCONT);
  return false;
}

int run_tool_interrupted(const fs::path& dir, const std::string& args, uint64_t full_size, int sig,
                         const std::string& setup, const std::string& program) {
  const pid_t pid = start_tool(dir, args, setup, program);
  const bool sent = stop_while_writing(pid, dir, full_size) && kill(pid, sig) == 0;
  kill(pid, SIGCONT);
  const int status = wait_tool(pid);
  if (!sent) return NOT_SENT;
  return status > SIGNALLED ? status - SIGNALLED : 0;
}
#endif
