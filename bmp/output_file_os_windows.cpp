// Replacing the output file on Windows: the read-only check, the atomic
// replace, and removing the temporary file when the console interrupts.
// Every name goes through the same narrow ("A") calls as the C library's
// fopen, so a name in the system's code page means the same file throughout.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <string>

#include "bmp/output_file_os.h"

namespace {

constexpr int TEMP_NAME_ATTEMPTS = 64;
// Another process may hold the target for a moment (a virus scanner, an
// indexer, another run replacing the same file): retry for about 2 s.
constexpr int REPLACE_ATTEMPTS = 100;
constexpr DWORD REPLACE_RETRY_MS = 20;

// The temporary file a console interruption removes ("" when none), and the
// lock that keeps its creation, replacement and removal apart from the
// interruption handler, which runs on a thread of its own.
SRWLOCK guard_lock = SRWLOCK_INIT;
std::string guarded_path;

// Console interruptions: removes the temporary file, keeps the lock so that
// the run cannot go on, and lets the default handler end the process.
BOOL WINAPI remove_temp_on_interruption(DWORD) {
  AcquireSRWLockExclusive(&guard_lock);
  if (!guarded_path.empty()) DeleteFileA(guarded_path.c_str());
  return FALSE;
}

// Creates a new file that an interruption may delete while it is open, and
// records it; INVALID_HANDLE_VALUE when impossible.
HANDLE create_guarded(const std::string& target, std::string& path) {
  for (int attempt = 0; attempt < TEMP_NAME_ATTEMPTS; ++attempt) {
    path = temp_path_beside(target, GetCurrentProcessId(), attempt);
    AcquireSRWLockExclusive(&guard_lock);
    const HANDLE file =
        CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                    CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    const DWORD error = GetLastError();
    if (file != INVALID_HANDLE_VALUE) guarded_path = path;
    ReleaseSRWLockExclusive(&guard_lock);
    if (file != INVALID_HANDLE_VALUE || error != ERROR_FILE_EXISTS) return file;
  }
  return INVALID_HANDLE_VALUE;
}

// Whether a failed replace may succeed if tried again shortly.
bool target_busy(DWORD error) {
  return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ||
         error == ERROR_LOCK_VIOLATION;
}

}  // namespace

output_target find_output_target(const std::string& name) {
  output_target target;
  target.path = name;
  const DWORD attributes = GetFileAttributesA(name.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    // Missing, or unreadable for now: creating and replacing will tell.
    target.usable = true;
    return target;
  }
  target.exists = true;
  // A read-only file cannot be opened for writing; a folder is no picture.
  target.usable = (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) == 0;
  return target;
}

temp_output create_temp_output(const output_target& target) {
  SetConsoleCtrlHandler(remove_temp_on_interruption, TRUE);
  temp_output temp;
  const HANDLE file = create_guarded(target.path, temp.path);
  if (file == INVALID_HANDLE_VALUE) return temp;
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_WRONLY | _O_BINARY);
  if (fd >= 0) temp.stream = _fdopen(fd, "wb");
  if (temp.stream == nullptr) {
    if (fd >= 0) {
      _close(fd);
    } else {
      CloseHandle(file);
    }
    discard_temp(temp);
  }
  return temp;
}

bool replace_with_temp(const temp_output& temp, const output_target& target) {
  for (int attempt = 0; attempt < REPLACE_ATTEMPTS; ++attempt) {
    AcquireSRWLockExclusive(&guard_lock);
    const BOOL moved = MoveFileExA(temp.path.c_str(), target.path.c_str(),
                                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    const DWORD error = GetLastError();
    if (moved) guarded_path.clear();
    ReleaseSRWLockExclusive(&guard_lock);
    if (moved) return true;
    if (!target_busy(error)) return false;
    Sleep(REPLACE_RETRY_MS);
  }
  return false;
}

void discard_temp(const temp_output& temp) {
  AcquireSRWLockExclusive(&guard_lock);
  DeleteFileA(temp.path.c_str());
  guarded_path.clear();
  ReleaseSRWLockExclusive(&guard_lock);
}

void report_write_failures_as_errors() {
  // Nothing to do: Windows reports failed writes to the call that made them.
}
