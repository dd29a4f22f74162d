// Runs the built program for the end-to-end tests.
#include "run_tool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <random>

#include "bmp_builder.h"
#include "os/utf16.h"

#ifndef _WIN32
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
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

// One folder per run of the test program, under the system's temporary
// directory with a name no other run (of any user) has, removed when the
// tests end, whether they passed or not.
struct scratch_root : testing::Environment {
  fs::path path;
  void TearDown() override {
    std::error_code ignored;
    if (!path.empty()) fs::remove_all(path, ignored);
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

}  // namespace

fs::path fresh_dir() {
  const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
  const fs::path dir = scratch_path() / test->name();
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir;
}

run_result run_tool(const fs::path& dir, const std::string& args, const std::string& setup) {
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
  const std::string command = change_dir + dir.u8string() + "\" && " + setup + VANDREL_RUNNER +
                              "\"" VANDREL_BINARY "\" " + args + " >\"" + out.u8string() +
                              "\" 2>\"" + err.u8string() + "\"";
  int raw = run_command(command);
#ifdef _WIN32
  // cmd's status when it could not start the program at all (9009), or the C
  // library's when it could not start cmd (-1): Wine now and then reports one
  // of them for a 32-bit program just after start-up, and the program itself
  // never ends with either. Two more tries.
  constexpr int COULD_NOT_START = 9009;
  constexpr int COULD_NOT_START_SHELL = -1;
  for (int retry = 0; retry < 2 && (raw == COULD_NOT_START || raw == COULD_NOT_START_SHELL);
       ++retry) {
    raw = run_command(command);
  }
#endif
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

std::set<std::string> names_in(const fs::path& dir) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) {
    names.insert(entry.path().filename().u8string());
  }
  return names;
}

#ifndef _WIN32
namespace {

bool has_temp_file(const fs::path& dir) {
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (entry.path().extension() == ".tmp") return true;
  }
  return false;
}

}  // namespace

int run_tool_interrupted(const fs::path& dir, const std::string& args, int sig,
                         const std::string& setup) {
  // No core dumps: the signals whose default action dumps one are tested too.
  const std::string command =
      "ulimit -c 0; " + setup + "exec " VANDREL_RUNNER "\"" VANDREL_BINARY "\" " + args;
  const std::string where = dir.string();
  const pid_t pid = fork();
  if (pid == 0) {
    if (chdir(where.c_str()) == 0) execl("/bin/sh", "sh", "-c", command.c_str(), nullptr);
    _exit(127);
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  int status = 0;
  while (!has_temp_file(dir) && std::chrono::steady_clock::now() < deadline) {
    if (waitpid(pid, &status, WNOHANG) == pid) return 0;  // ended before writing
  }
  kill(pid, sig);
  waitpid(pid, &status, 0);
  return WIFSIGNALED(status) ? WTERMSIG(status) : 0;
}
#endif
