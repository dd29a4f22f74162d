// Writing the output file on Windows, by UTF-16 names: checking the existing
// output through one handle (links followed to the final file, the right to
// write it), a temporary file only this user may open, which the system
// deletes however the process ends until it is renamed into place, the
// replaced file's owner, access control list and attributes as they are just
// before it is replaced, writing in place under a lock where the folder
// refuses new files or the owner cannot be given, and removing the temporary
// file when the console interrupts.
#include <windows.h>

#include <cwchar>
#include <new>
#include <string>
#include <vector>

#include "os/access_rules_windows.h"
#include "os/output_file.h"
#include "os/path_windows.h"
#include "os/utf16.h"

namespace {

constexpr int TEMP_NAME_ATTEMPTS = 64;
// Another process may hold the target for a moment (a virus scanner, an
// indexer, another run replacing the same file): retry for about 2 s.
constexpr int BUSY_ATTEMPTS = 100;
constexpr DWORD BUSY_RETRY_MS = 20;
// The attributes a replaced file passes on (read-only files are refused);
// the new file is also marked changed (archive), as any write marks it.
constexpr DWORD KEPT_ATTRIBUTES =
    FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
// What checking, and perhaps writing in place, needs of an existing output.
// Asking to write the data is what asks whether the user may write it.
constexpr DWORD EXISTING_ACCESS =
    FILE_WRITE_DATA | FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE;
constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// FileDispositionInfoEx and two of its flags (Windows 10, version 1607), which
// older headers leave out. Only this call clears the deletion mark that
// FILE_FLAG_DELETE_ON_CLOSE sets when a file is created.
constexpr auto DISPOSITION_INFO_EX = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
constexpr DWORD DISPOSITION_DELETE = 0x1;    // FILE_DISPOSITION_FLAG_DELETE
constexpr DWORD DISPOSITION_ON_CLOSE = 0x8;  // FILE_DISPOSITION_FLAG_ON_CLOSE
struct disposition_ex {
  DWORD flags;
};

// The temporary file a console interruption removes (empty when none), and
// the lock that keeps its creation, replacement and removal apart from the
// interruption handler, which runs on a thread of its own. The name is kept
// in a plain array, never freed, so that the handler may read it even while
// the process exits; nothing that can throw runs while the lock is held.
constexpr size_t LONGEST_PATH = 32767;
SRWLOCK guard_lock = SRWLOCK_INIT;
wchar_t guarded_path[LONGEST_PATH + 1];
// Whether the temporary file was created marked for deletion (true), or marked
// just after (false, where the system could not lift a mark set at creation).
bool guarded_from_creation = false;

HANDLE as_handle(intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

void close_if_open(intptr_t handle) {
  if (as_handle(handle) != INVALID_HANDLE_VALUE) CloseHandle(as_handle(handle));
}

// Console interruptions: removes the temporary file, keeps the lock so that
// the run cannot go on, and lets the default handler end the process.
BOOL WINAPI remove_temp_on_interruption(DWORD) {
  AcquireSRWLockExclusive(&guard_lock);
  if (guarded_path[0] != L'\0') DeleteFileW(guarded_path);
  return FALSE;
}

bool not_found(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// Opens the existing file `path` names, following links, for checking and
// writing; retries while another process holds it without sharing.
HANDLE open_existing(const std::wstring& path) {
  for (int attempt = 0;; ++attempt) {
    const HANDLE file = CreateFileW(path.c_str(), EXISTING_ACCESS, SHARE_ALL, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_SHARING_VIOLATION ||
        attempt + 1 == BUSY_ATTEMPTS) {
      return file;
    }
    Sleep(BUSY_RETRY_MS);
  }
}

// The full name of the open `file` as the system resolved it, links
// followed, as text; "" when the system cannot say.
std::string final_path(HANDLE file) {
  constexpr DWORD FLAGS = FILE_NAME_NORMALIZED | VOLUME_NAME_DOS;
  const DWORD needed = GetFinalPathNameByHandleW(file, nullptr, 0, FLAGS);
  if (needed == 0) return "";
  std::wstring path(needed, L'\0');
  const DWORD length = GetFinalPathNameByHandleW(file, &path[0], needed, FLAGS);
  if (length == 0 || length >= needed) return "";
  path.resize(length);
  return utf8_from_utf16(std::u16string(path.begin(), path.end()));
}

// Whether nothing at all is at `path`: not even a link that leads nowhere,
// which opening through it reports as missing too.
bool nothing_there(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES && not_found(GetLastError());
}

// Checks the open existing output: a file on a disk, neither a folder nor
// read-only (which the write access does not show to every user), whose
// final name the system can give, or the name itself when no link stands
// there. Fills in the target's attributes and path.
bool check_existing(HANDLE file, const std::wstring& path, output_target& target) {
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
    return false;
  }
  const std::string final_name = final_path(file);
  if (!final_name.empty()) {
    target.path = final_name;
    return true;
  }
  const DWORD own = GetFileAttributesW(path.c_str());  // a link's own, not its file's
  return own != INVALID_FILE_ATTRIBUTES && (own & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

// Marks the open temporary `file` to be deleted when its last handle closes,
// however the process ends, or clears the mark: the one set at its creation
// where `from_creation`, otherwise the one set after. False where the system
// or the file system has no such mark.
bool mark_for_deletion(HANDLE file, bool from_creation, bool deleted) {
  if (from_creation) {
    disposition_ex disposition = {DISPOSITION_ON_CLOSE | (deleted ? DISPOSITION_DELETE : 0)};
    return SetFileInformationByHandle(file, DISPOSITION_INFO_EX, &disposition, sizeof disposition);
  }
  FILE_DISPOSITION_INFO disposition = {};
  disposition.DeleteFile = deleted ? TRUE : FALSE;
  return SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition);
}

// Forgets the temporary file, removing it by name first where `remove`.
void unguard(bool remove) {
  AcquireSRWLockExclusive(&guard_lock);
  if (remove && guarded_path[0] != L'\0') DeleteFileW(guarded_path);
  guarded_path[0] = L'\0';
  ReleaseSRWLockExclusive(&guard_lock);
}

// Creates a new temporary file beside `target`, marked for deletion, that an
// interruption may also delete by name while it is open, and records it;
// INVALID_HANDLE_VALUE when impossible, with the last error saying why. Its
// name is in `path`. Every name is made before the file exists. A file that
// is to replace another (`replacing`) lets only this user open it until
// finish_output gives it the replaced file's rules. The mark is set as the
// file is created where the system can lift it again before the rename
// (Windows 10, version 1607, on file systems that support it); elsewhere just
// after, as the next file is created.
HANDLE create_guarded(const std::string& target, bool replacing, std::string& path) {
  private_access access;
  if (replacing && !make_private(access)) return INVALID_HANDLE_VALUE;
  const DWORD rights =
      GENERIC_WRITE | DELETE | READ_CONTROL | WRITE_DAC | (replacing ? WRITE_OWNER : 0);
  bool from_creation = true;
  for (int attempt = 0; attempt < TEMP_NAME_ATTEMPTS; ++attempt) {
    std::string name = temp_path_beside(target, GetCurrentProcessId(), attempt);
    std::wstring wide;
    if (!windows_path(name, wide)) {
      SetLastError(ERROR_INVALID_NAME);
      return INVALID_HANDLE_VALUE;
    }
    AcquireSRWLockExclusive(&guard_lock);
    const HANDLE file = CreateFileW(
        wide.c_str(), rights, FILE_SHARE_READ | FILE_SHARE_DELETE,
        replacing ? &access.attributes : nullptr, CREATE_NEW,
        FILE_ATTRIBUTE_NORMAL | (from_creation ? FILE_FLAG_DELETE_ON_CLOSE : 0), nullptr);
    const DWORD error = GetLastError();
    if (file != INVALID_HANDLE_VALUE) {
      if (wide.size() <= LONGEST_PATH) wmemcpy(guarded_path, wide.c_str(), wide.size() + 1);
      guarded_from_creation = from_creation;
    }
    ReleaseSRWLockExclusive(&guard_lock);
    if (file == INVALID_HANDLE_VALUE) {
      SetLastError(error);
      if (error != ERROR_FILE_EXISTS) return INVALID_HANDLE_VALUE;
      continue;
    }
    // Setting the mark again says whether it can be lifted; where it cannot,
    // this file goes as it is closed, and the next is marked once created.
    if (from_creation && !mark_for_deletion(file, true, true)) {
      unguard(false);
      CloseHandle(file);
      from_creation = false;
      continue;
    }
    // Where the mark cannot be set, the interruption handler and
    // abandon_output still remove the file by name.
    if (!from_creation) mark_for_deletion(file, false, true);
    path.swap(name);
    return file;
  }
  return INVALID_HANDLE_VALUE;
}

// Gives the new file the owner, access control list and attributes that the
// replaced file, `path`, has now, just before it is replaced, so that a
// change made while the run wrote is kept. False when that file is gone, or
// has become read-only, or its owner or list cannot be given.
bool take_over_rules(HANDLE file, const std::string& path) {
  std::wstring wide;
  if (!windows_path(path, wide)) return false;
  const HANDLE replaced = CreateFileW(wide.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES, SHARE_ALL,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (replaced == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  const bool kept = GetFileInformationByHandle(replaced, &info) &&
                    (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) == 0 &&
                    take_owner(file, replaced) && take_access_list(file, replaced);
  CloseHandle(replaced);  // held open, it could not be replaced
  if (!kept) return false;
  FILE_BASIC_INFO basic = {};
  basic.FileAttributes = (info.dwFileAttributes & KEPT_ATTRIBUTES) | FILE_ATTRIBUTE_ARCHIVE;
  // Attributes are not access rules: a file system without them changes nothing.
  SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof basic);
  return true;
}

// Opens the existing output, already open as `existing`, for writing in
// place: waits until no other run writes it, then holds it alone.
output_file open_in_place(HANDLE existing) {
  output_file out;
  OVERLAPPED whole_file = {};
  if (!LockFileEx(existing, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole_file)) {
    CloseHandle(existing);
    return out;
  }
  out.open = true;
  out.in_place = true;
  out.handle = reinterpret_cast<intptr_t>(existing);
  return out;
}

// A request to rename a file to `target`, as SetFileInformationByHandle
// takes it: a full name, which the system resolves as it resolves any
// other, so a bare leaf would be taken from the current folder. Empty when
// the name cannot be made (not text, or no memory for it).
std::vector<FILE_RENAME_INFO> rename_request(const std::string& target) {
  std::vector<FILE_RENAME_INFO> request;
  try {
    std::wstring path;
    if (!windows_path(target, path)) return request;
    const size_t bytes = sizeof(FILE_RENAME_INFO) + path.size() * sizeof(wchar_t);
    request.resize((bytes + sizeof(FILE_RENAME_INFO) - 1) / sizeof(FILE_RENAME_INFO));
    request[0].ReplaceIfExists = TRUE;
    request[0].RootDirectory = nullptr;
    request[0].FileNameLength = static_cast<DWORD>(path.size() * sizeof(wchar_t));
    path.copy(request[0].FileName, path.size());  // the rest of the vector holds it
  } catch (const std::bad_alloc&) {
    request.clear();
  }
  return request;
}

// Whether a failed replace may succeed if tried again shortly.
bool target_busy(DWORD error) {
  return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ||
         error == ERROR_LOCK_VIOLATION;
}

// Renames the open temporary `file` over the target, retrying while another
// process holds the target. The deletion mark is lifted only for the rename
// itself, just before it, and put back when it fails: a process ended between
// the two leaves the complete file under its temporary name.
bool replace_target(HANDLE file, std::vector<FILE_RENAME_INFO>& request) {
  for (int attempt = 0; attempt < BUSY_ATTEMPTS; ++attempt) {
    AcquireSRWLockExclusive(&guard_lock);
    mark_for_deletion(file, guarded_from_creation, false);
    const BOOL moved =
        SetFileInformationByHandle(file, FileRenameInfo, request.data(),
                                   static_cast<DWORD>(request.size() * sizeof(FILE_RENAME_INFO)));
    const DWORD error = GetLastError();
    if (moved) {
      guarded_path[0] = L'\0';
    } else {
      mark_for_deletion(file, guarded_from_creation, true);
    }
    ReleaseSRWLockExclusive(&guard_lock);
    if (moved) return true;
    if (!target_busy(error)) return false;
    Sleep(BUSY_RETRY_MS);
  }
  return false;
}

// In place: flushed, then what is left of the old picture beyond the new one
// goes; closing the file ends the lock.
bool finish_in_place(output_file& out) {
  const HANDLE file = as_handle(out.handle);
  LARGE_INTEGER end;
  end.QuadPart = static_cast<LONGLONG>(out.written);
  const bool cut = FlushFileBuffers(file) && SetFilePointerEx(file, end, nullptr, FILE_BEGIN) &&
                   SetEndOfFile(file);
  const bool closed = CloseHandle(file) != 0;
  out.open = false;
  return cut && closed;
}

}  // namespace

output_target find_output_target(const std::string& name) {
  output_target target;
  std::wstring path;
  if (!windows_path(name, path) || names_a_stream(path)) return target;
  target.path = name;
  const HANDLE file = open_existing(path);
  if (file == INVALID_HANDLE_VALUE) {
    // Only a missing file may be created; anything that cannot be looked
    // at (denied, held, a link to nowhere) is left alone.
    target.usable = not_found(GetLastError()) && nothing_there(path);
    return target;
  }
  target.file = reinterpret_cast<intptr_t>(file);
  target.exists = true;
  target.usable = check_existing(file, path, target);
  if (!target.usable) {
    CloseHandle(file);
    target.file = -1;
  }
  return target;
}

output_file open_output(const output_target& target) {
  SetConsoleCtrlHandler(remove_temp_on_interruption, TRUE);
  output_file out;
  const HANDLE file = create_guarded(target.path, target.exists, out.temp_path);
  if (file == INVALID_HANDLE_VALUE) {
    out.temp_path.clear();
    // The folder refuses new files: written in place, as opening it would.
    if (target.exists && GetLastError() == ERROR_ACCESS_DENIED) {
      return open_in_place(as_handle(target.file));
    }
    close_if_open(target.file);
    return out;
  }
  out.open = true;
  out.handle = reinterpret_cast<intptr_t>(file);
  // A new file this user cannot give the old one's owner would take the
  // file from its owner: the old file is written in place instead.
  if (target.exists && !take_owner(file, as_handle(target.file))) {
    abandon_output(out);
    return open_in_place(as_handle(target.file));
  }
  // Held open, the old file could not be replaced.
  close_if_open(target.file);
  return out;
}

bool write_output(output_file& out, const uint8_t* bytes, size_t count) {
  constexpr size_t MAX_WRITE = size_t{1} << 30;  // WriteFile takes a 32-bit count
  while (count > 0) {
    DWORD done = 0;
    const DWORD ask = static_cast<DWORD>(count < MAX_WRITE ? count : MAX_WRITE);
    if (!WriteFile(as_handle(out.handle), bytes, ask, &done, nullptr) || done == 0) return false;
    bytes += done;
    count -= done;
    out.written += done;
  }
  return true;
}

bool finish_output(output_file& out, const output_target& target) {
  if (out.in_place) return finish_in_place(out);
  const HANDLE file = as_handle(out.handle);
  // Where it replaces a file, the new picture is on the disk before the old
  // one goes: a crash then leaves one or the other, whole.
  if (target.exists && !FlushFileBuffers(file)) return false;
  std::vector<FILE_RENAME_INFO> request = rename_request(target.path);
  if (request.empty() || (target.exists && !take_over_rules(file, target.path)) ||
      !replace_target(file, request)) {
    return false;
  }
  out.open = false;
  return CloseHandle(file) != 0;
}

void abandon_output(output_file& out) {
  const bool temporary = !out.temp_path.empty();
  if (out.open) {
    if (temporary) mark_for_deletion(as_handle(out.handle), guarded_from_creation, true);
    CloseHandle(as_handle(out.handle));
  }
  out.open = false;
  // Where the file system has no deletion mark, the file goes by its name.
  if (temporary) unguard(true);
}

void report_write_failures_as_errors() {
  // Nothing to do: Windows reports failed writes to the call that made them.
}
