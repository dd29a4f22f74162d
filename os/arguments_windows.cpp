// The command line on Windows, read as UTF-16 so that every name the file
// system can hold reaches the program whole.
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include "os/arguments.h"
#include "os/utf16.h"

std::vector<std::string> program_arguments(int argc, char** argv) {
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide == nullptr) return std::vector<std::string>(argv, argv + argc);  // out of memory
  std::vector<std::string> arguments;
  for (int i = 0; i < count; ++i) {
    const std::wstring argument(wide[i]);
    arguments.push_back(utf8_from_utf16(std::u16string(argument.begin(), argument.end())));
  }
  LocalFree(wide);
  return arguments;
}
