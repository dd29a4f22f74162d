// Windows path names: UTF-16, and the long form where the plain one is too short.
#include "os/path_windows.h"

#include <windows.h>

#include "os/utf16.h"

namespace {

// Paths shorter than this work in the plain form everywhere; the limit for
// a folder is MAX_PATH less room for an 8.3 file name.
constexpr size_t PLAIN_PATH_LIMIT = MAX_PATH - 12;

bool has_long_prefix(const std::wstring& path) {
  return path.rfind(L"\\\\?\\", 0) == 0 || path.rfind(L"\\\\.\\", 0) == 0;
}

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

}  // namespace

bool windows_path(const std::string& name, std::wstring& path) {
  std::u16string units;
  if (!utf16_from_utf8(name, units)) return false;
  path.assign(units.begin(), units.end());
  if (path.empty() || has_long_prefix(path)) return true;
  const std::wstring full = full_path(path);
  if (full.size() < PLAIN_PATH_LIMIT || full.empty()) return true;
  if (full.rfind(L"\\\\", 0) == 0) {
    path = L"\\\\?\\UNC\\" + full.substr(2);  // \\server\share\...
  } else {
    path = L"\\\\?\\" + full;
  }
  return true;
}
