// Runs the built program for the end-to-end tests.
#include "run_tool.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "bmp_builder.h"

#ifndef _WIN32
#include <sys/wait.h>
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

}  // namespace

fs::path fresh_dir() {
  const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
  const fs::path dir = fs::temp_directory_path() / (std::string("vandrel_") + test->name());
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir;
}

run_result run_tool(const fs::path& dir, const std::string& args, const std::string& setup) {
  const fs::path out = dir.parent_path() / (dir.filename().string() + ".out");
  const fs::path err = dir.parent_path() / (dir.filename().string() + ".err");
#ifdef _WIN32
  const std::string change_dir = "cd /d \"";  // cmd changes drive only when asked
#else
  const std::string change_dir = "cd \"";
#endif
  const std::string command = change_dir + dir.string() + "\" && " + setup + VANDREL_RUNNER +
                              "\"" VANDREL_BINARY "\" " + args + " >\"" + out.string() + "\" 2>\"" +
                              err.string() + "\"";
  const int raw = std::system(command.c_str());
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
    names.insert(entry.path().filename().string());
  }
  return names;
}
