// Reading the input file on Windows, by its UTF-16 name. Only files on a disk
// are opened: a console (CONIN$), a pipe or a device is refused as unopenable.
#include <windows.h>

#include "os/input_file.h"
#include "os/path_windows.h"

namespace {

HANDLE file_handle(const input_file& in) { return reinterpret_cast<HANDLE>(in.handle); }

}  // namespace

input_file open_input(const std::string& path) {
  input_file in;
  std::wstring name;
  if (!windows_path(path, name)) return in;
  // Others may go on reading, writing or renaming it, as with the C library's fopen.
  const HANDLE file = CreateFileW(name.c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (file == INVALID_HANDLE_VALUE) return in;
  LARGE_INTEGER size;
  if (GetFileType(file) != FILE_TYPE_DISK || !GetFileSizeEx(file, &size)) {
    CloseHandle(file);
    return in;
  }
  in.open = true;
  in.handle = reinterpret_cast<intptr_t>(file);
  in.sized = true;
  in.size = static_cast<uint64_t>(size.QuadPart);
  return in;
}

size_t read_input(const input_file& in, uint8_t* bytes, size_t count, bool& failed) {
  constexpr size_t MAX_READ = size_t{1} << 30;  // ReadFile takes a 32-bit count
  size_t done = 0;
  failed = false;
  while (done < count) {
    const size_t ask = count - done < MAX_READ ? count - done : MAX_READ;
    DWORD got = 0;
    if (!ReadFile(file_handle(in), bytes + done, static_cast<DWORD>(ask), &got, nullptr)) {
      failed = true;
      break;
    }
    if (got == 0) break;
    done += got;
  }
  return done;
}

bool seek_input(const input_file& in, uint64_t offset) {
  LARGE_INTEGER position;
  position.QuadPart = static_cast<LONGLONG>(offset);
  return offset <= static_cast<uint64_t>(INT64_MAX) &&
         SetFilePointerEx(file_handle(in), position, nullptr, FILE_BEGIN);
}

void close_input(input_file& in) {
  if (in.open) CloseHandle(file_handle(in));
  in.open = false;
}
