// Running the built program from a test: in a fresh directory, with its
// status, standard output and standard error captured.
#pragma once

#include <cstdint>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

struct run_result {
  int status = -1;
  std::string out;
  std::string err;
};

// A new empty directory named after the running test, inside a folder of
// this run's own that is removed when the tests end.
std::filesystem::path fresh_dir();

// The command that starts the program, quoted for the shell: the built
// program, or with `named_temp_files` its build that writes through named
// temporary files only (POSIX). Where the environment variable
// VANDREL_PROGRAMS names a folder, the copies in it are run instead; where the
// tests run as root, a copy in their own folder, which the ordinary user
// whose runs some tests make can reach wherever the build folder is.
std::string tool_command(bool named_temp_files = false);

// Where a file the build made is to be found by the program: `built`, or its
// copy (see tool_command).
std::string built_file(const std::filesystem::path& built);

// Runs `program` in `dir` with `args` (UTF-8, already quoted where needed),
// after the shell commands in `setup` (for example "ulimit -f 4 && ", or a
// command the program runs under).
run_result run_tool(const std::filesystem::path& dir, const std::string& args,
                    const std::string& setup = "", const std::string& program = tool_command());

#ifndef _WIN32
#include <sys/types.h>

// The commands that make the program run as an ordinary user, whom
// permissions bind: the user running the tests or, for root, nobody.
std::string as_ordinary_user();

// Whether the program runs as the ordinary user here: run with no
// arguments from `dir`, it prints its usage text.
bool runs_as_ordinary_user(const std::filesystem::path& dir);

// Makes `path` the ordinary user's, where the tests run as root; false
// when that fails.
bool give_to_ordinary_user(const std::filesystem::path& path);

// Takes from everyone the right to create files in `dir`, once its files are
// in place; unlock_folder gives it back (and the suite does, whatever a
// test's outcome, before it removes its folders).
void lock_folder(const std::filesystem::path& dir);
void unlock_folder(const std::filesystem::path& dir);

#ifdef __linux__
// The value of the extended attribute `name` of `path`; empty when it has none.
std::vector<uint8_t> attribute(const std::filesystem::path& path, const char* name);
#endif

// Starts `program` (tool_command() or tool_command(true)) in `dir` with
// `args`, after the shell commands in `setup`, without waiting for it.
pid_t start_tool(const std::filesystem::path& dir, const std::string& args,
                 const std::string& setup = "", const std::string& program = tool_command());

// Waits until the started program has its new output file open, named or
// not; false when it ended first, or after a minute.
bool wait_until_writing(pid_t pid, const std::filesystem::path& dir);

// Waits until the started program, or a program it started (one it runs
// under strace, say), has `file` open; false when it ended first, or after a
// minute.
bool wait_until_open(pid_t pid, const std::filesystem::path& file);

// Waits until the started program, run under `strace -f -o trace`, has been
// stopped by a signal (one strace injected, say), as strace writes to
// `trace`; returns the stopped process's id, which SIGCONT lets go on, or -1
// when the run ended first, or after a minute.
pid_t wait_until_stopped(pid_t pid, const std::filesystem::path& trace);

// Waits for the started program to end; returns its exit status, or
// SIGNALLED plus the signal that ended it. After `seconds`, it is killed
// (SIGKILL).
constexpr int SIGNALLED = 128;
int wait_tool(pid_t pid, int seconds = 600);

// Stops the started program (SIGSTOP) once it writes its new output file,
// and says whether it was stopped with fewer than `full_size` bytes of it
// written, so that whatever the caller does before it continues the program
// (SIGCONT) happens while it writes, however loaded the machine; false (the
// program stopped too late, or ended first) leaves it running on.
bool stop_while_writing(pid_t pid, const std::filesystem::path& dir, uint64_t full_size);

// Starts the program, sends it `sig` while it writes its new output file of
// `full_size` bytes (see stop_while_writing), and returns the signal that
// ended it (0 when it ended by itself), or NOT_SENT when it could not be
// stopped while writing.
constexpr int NOT_SENT = -1;
int run_tool_interrupted(const std::filesystem::path& dir, const std::string& args,
                         uint64_t full_size, int sig, const std::string& setup = "",
                         const std::string& program = tool_command());
#endif

#ifndef _WIN32
// The command that starts the program's build without Linux's own calls,
// which works as on other POSIX systems; "" where it was not built, or was
// not copied to the folder VANDREL_PROGRAMS names.
std::string posix_only_command();
#endif

// Runs the program once for each of `args`, all at once, in `dir`, under
// the command `runner` (such as as_ordinary_user()); the runs' results, in
// the order of `args`.
std::vector<run_result> run_tools_at_once(const std::filesystem::path& dir,
                                          const std::vector<std::string>& args,
                                          const std::string& runner = "");

// The names of the entries in `dir`, as UTF-8.
std::set<std::string> names_in(const std::filesystem::path& dir);
