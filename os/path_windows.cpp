// Windows path names: UTF-16, and the long form where the plain one is too short.
#include "os/path_windows.h"

#include <windows.h>

#include <algorithm>

#include "os/utf16.h"

namespace {

// Paths shorter than this work in the plain form everywhere; the limit for
// a folder is MAX_PATH less room for an 8.3 file name.
constexpr size_t PLAIN_PATH_LIMIT = MAX_PATH - 12;

bool is_separator(wchar_t c) { return c == L'\\' || c == L'/'; }

// "\\?\" or "\\.\" with any mix of slashes and backslashes: the system takes
// all of them as the start of a device path.
bool has_device_prefix(const std::wstring& path) {
  return path.size() >= 4 && is_separator(path[0]) && is_separator(path[1]) &&
         (path[2] == L'?' || path[2] == L'.') && is_separator(path[3]);
}

// "\\?\" spelled with backslashes only: the one form the system passes on
// untouched, whatever its length.
bool has_long_prefix(const std::wstring& path) { return path.rfind(L"\\\\?\\", 0) == 0; }

// The absolute, normalised form of `path` ("" on failure).
std::wstring full_path(const std::wstring& path) {
  const DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return L"";
  std::wstring full(needed, L'\0');
  const DWORD length = GetFullPathNameW(path.c_str(), needed, &full[0], nullptr);
  if (length == 0 || length >= needed) return L"";
  full.resize(length);
  return full;
}

// "//?/C:/dir/../x" as "\\?\C:\x": the system reads this spelling as a
// path to normalise, with its limit on length; written with backslashes it
// means the same file and has no such limit.
std::wstring long_form_of_slashed(const std::wstring& path) {
  std::wstring rest = path.substr(4);
  std::replace(rest.begin(), rest.end(), L'/', L'\\');
  const bool on_a_drive = rest.size() >= 3 && rest[1] == L':' && rest[2] == L'\\';
  const std::wstring full = on_a_drive ? full_path(rest) : L"";
  return L"\\\\?\\" + (full.empty() ? rest : full);
}

}  // namespace

bool windows_path(const std::string& name, std::wstring& path) {
  std::u16string units;
  if (!utf16_from_utf8(name, units)) return false;
  path.assign(units.begin(), units.end());
  if (path.empty() || has_long_prefix(path)) return true;
  if (has_device_prefix(path) && path[2] == L'?') {
    path = long_form_of_slashed(path);
    return true;
  }
  const std::wstring full = full_path(path);
  if (full.size() < PLAIN_PATH_LIMIT || full.empty() || has_device_prefix(full)) return true;
  if (full.rfind(L"\\\\", 0) == 0) {
    path = L"\\\\?\\UNC\\" + full.substr(2);  // \\server\share\...
  } else {
    path = L"\\\\?\\" + full;
  }
  return true;
}

bool names_a_stream(const std::wstring& path) {
  const size_t start = has_device_prefix(path) ? 4 : 0;
  const size_t colon = path.find(L':', start);
  if (colon == std::wstring::npos) return false;
  const wchar_t drive = path[start];
  const bool after_drive_letter =
      colon == start + 1 && ((drive >= L'A' && drive <= L'Z') || (drive >= L'a' && drive <= L'z'));
  return !after_drive_letter || path.find(L':', colon + 1) != std::wstring::npos;
}
