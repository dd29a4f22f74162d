// Running the built program from a test: in a fresh directory, with its
// status, standard output and standard error captured.
#pragma once

#include <filesystem>
#include <set>
#include <string>

struct run_result {
  int status = -1;
  std::string out;
  std::string err;
};

// A new empty directory named after the running test, inside a folder of
// this run's own that is removed when the tests end.
std::filesystem::path fresh_dir();

// Runs the program in `dir` with `args` (UTF-8, already quoted where needed),
// after the shell commands in `setup` (for example "ulimit -f 4 && ").
run_result run_tool(const std::filesystem::path& dir, const std::string& args,
                    const std::string& setup = "");

// Starts the program in `dir` with `args`, after the shell commands in
// `setup`, sends it `sig` as soon as its temporary output file exists, and
// returns the signal that ended it (0 when it ended by itself). POSIX only.
int run_tool_interrupted(const std::filesystem::path& dir, const std::string& args, int sig,
                         const std::string& setup = "");

// The names of the entries in `dir`, as UTF-8.
std::set<std::string> names_in(const std::filesystem::path& dir);
