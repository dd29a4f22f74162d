// Writing the output file on Windows, by UTF-16 names: the read-only check,
// the replaced file's access control list and attributes, the atomic
// replace, writing in place where the folder refuses new files, and removing
// the temporary file when the console interrupts.
#include <windows.h>
// After windows.h, which they need.
#include <aclapi.h>

#include <string>

#include "os/output_file.h"
#include "os/path_windows.h"
#include "os/utf16.h"

namespace {

constexpr int TEMP_NAME_ATTEMPTS = 64;
// Another process may hold the target for a moment (a virus scanner, an
// indexer, another run replacing the same file): retry for about 2 s.
constexpr int REPLACE_ATTEMPTS = 100;
constexpr DWORD REPLACE_RETRY_MS = 20;
// The attributes a replaced file passes on (read-only files are refused).
constexpr DWORD KEPT_ATTRIBUTES = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                  FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// The temporary file a console interruption removes (empty when none), and
// the lock that keeps its creation, replacement and removal apart from the
// interruption handler, which runs on a thread of its own.
SRWLOCK guard_lock = SRWLOCK_INIT;
std::wstring guarded_path;

HANDLE file_handle(const output_file& out) { return reinterpret_cast<HANDLE>(out.handle); }

// Console interruptions: removes the temporary file, keeps the lock so that
// the run cannot go on, and lets the default handler end the process.
BOOL WINAPI remove_temp_on_interruption(DWORD) {
  AcquireSRWLockExclusive(&guard_lock);
  if (!guarded_path.empty()) DeleteFileW(guarded_path.c_str());
  return FALSE;
}

// Creates a new file that an interruption may delete while it is open, and
// records it; INVALID_HANDLE_VALUE when impossible, with the last error
// saying why.
HANDLE create_guarded(const std::wstring& target, std::string& path) {
  for (int attempt = 0; attempt < TEMP_NAME_ATTEMPTS; ++attempt) {
    // The target's name is already in its system form, so the temporary
    // file's name is built from the UTF-16 one.
    std::wstring name = target;
    const size_t end = name.find_last_of(L"/\\:");
    name.resize(end == std::wstring::npos ? 0 : end + 1);
    const std::string leaf = temp_path_beside("", GetCurrentProcessId(), attempt);
    name.append(leaf.begin(), leaf.end());
    AcquireSRWLockExclusive(&guard_lock);
    const HANDLE file = CreateFileW(name.c_str(), GENERIC_WRITE | READ_CONTROL | WRITE_DAC,
                                    FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    const DWORD error = GetLastError();
    if (file != INVALID_HANDLE_VALUE) guarded_path = name;
    ReleaseSRWLockExclusive(&guard_lock);
    path = utf8_from_utf16(std::u16string(name.begin(), name.end()));
    SetLastError(error);
    if (file != INVALID_HANDLE_VALUE || error != ERROR_FILE_EXISTS) return file;
  }
  return INVALID_HANDLE_VALUE;
}

// Gives the new file the replaced file's access control list (its own
// entries; inherited ones come from the same folder) and attributes. False
// when the list cannot be carried over: the new file could be more open.
bool take_over_access(HANDLE file, const std::wstring& target, DWORD attributes) {
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetNamedSecurityInfoW(target.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                            nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  bool kept = GetSecurityDescriptorControl(descriptor, &control, &revision) != 0;
  if (kept && dacl != nullptr) {
    const SECURITY_INFORMATION what =
        DACL_SECURITY_INFORMATION |
        ((control & SE_DACL_PROTECTED) != 0 ? PROTECTED_DACL_SECURITY_INFORMATION
                                            : UNPROTECTED_DACL_SECURITY_INFORMATION);
    kept = SetSecurityInfo(file, SE_FILE_OBJECT, what, nullptr, nullptr, dacl, nullptr) ==
           ERROR_SUCCESS;
  }
  LocalFree(descriptor);
  FILE_BASIC_INFO basic = {};
  basic.FileAttributes = (attributes & KEPT_ATTRIBUTES) | FILE_ATTRIBUTE_NORMAL;
  // Attributes are not access rules: a file system without them changes nothing.
  SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof basic);
  return kept;
}

// Whether a failed replace may succeed if tried again shortly.
bool target_busy(DWORD error) {
  return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ||
         error == ERROR_LOCK_VIOLATION;
}

// Moves the closed temporary file over the target, retrying while another
// process holds it.
bool replace_target(const std::wstring& temp, const std::wstring& target) {
  for (int attempt = 0; attempt < REPLACE_ATTEMPTS; ++attempt) {
    AcquireSRWLockExclusive(&guard_lock);
    const BOOL moved = MoveFileExW(temp.c_str(), target.c_str(),
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

std::wstring wide(const std::string& path) {
  std::wstring name;
  return windows_path(path, name) ? name : L"";
}

}  // namespace

output_target find_output_target(const std::string& name) {
  output_target target;
  std::wstring path;
  if (!windows_path(name, path)) return target;  // names no file
  target.path = name;
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    // Missing, or unreadable for now: creating and replacing will tell.
    target.usable = true;
    return target;
  }
  target.exists = true;
  target.mode = attributes;
  // A read-only file cannot be opened for writing; a folder is no picture.
  target.usable = (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) == 0;
  return target;
}

output_file open_output(const output_target& target) {
  SetConsoleCtrlHandler(remove_temp_on_interruption, TRUE);
  output_file out;
  const std::wstring path = wide(target.path);
  HANDLE file = create_guarded(path, out.temp_path);
  if (file == INVALID_HANDLE_VALUE) {
    out.temp_path.clear();
    if (!target.exists || GetLastError() != ERROR_ACCESS_DENIED) return out;
    // The folder refuses new files: written in place, as opening it would.
    out.in_place = true;
    file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
    out.open = file != INVALID_HANDLE_VALUE;
    out.handle = reinterpret_cast<intptr_t>(file);
    return out;
  }
  out.handle = reinterpret_cast<intptr_t>(file);
  out.open = !target.exists || take_over_access(file, path, target.mode);
  if (!out.open) {
    CloseHandle(file);
    abandon_output(out);
  }
  return out;
}

bool write_output(output_file& out, const uint8_t* bytes, size_t count) {
  constexpr size_t MAX_WRITE = size_t{1} << 30;  // WriteFile takes a 32-bit count
  while (count > 0) {
    DWORD done = 0;
    const DWORD ask = static_cast<DWORD>(count < MAX_WRITE ? count : MAX_WRITE);
    if (!WriteFile(file_handle(out), bytes, ask, &done, nullptr) || done == 0) return false;
    bytes += done;
    count -= done;
    out.written += done;
  }
  return true;
}

bool finish_output(output_file& out, const output_target& target) {
  if (out.in_place) {
    // In place: what is left of the old picture beyond the new one goes.
    LARGE_INTEGER end;
    end.QuadPart = static_cast<LONGLONG>(out.written);
    const bool cut = SetFilePointerEx(file_handle(out), end, nullptr, FILE_BEGIN) &&
                     SetEndOfFile(file_handle(out));
    const bool closed = CloseHandle(file_handle(out)) != 0;
    out.open = false;
    return cut && closed;
  }
  const bool closed = CloseHandle(file_handle(out)) != 0;
  out.open = false;
  return closed && replace_target(wide(out.temp_path), wide(target.path));
}

void abandon_output(output_file& out) {
  if (out.open) CloseHandle(file_handle(out));
  out.open = false;
  if (out.temp_path.empty()) return;
  AcquireSRWLockExclusive(&guard_lock);
  DeleteFileW(wide(out.temp_path).c_str());
  guarded_path.clear();
  ReleaseSRWLockExclusive(&guard_lock);
}

void report_write_failures_as_errors() {
  // Nothing to do: Windows reports failed writes to the call that made them.
}
