// The program's command line as text. arguments_posix.cpp and
// arguments_windows.cpp implement it.
#pragma once

#include <string>
#include <vector>

// The program's arguments, argv[0] first, each one text: on POSIX systems the
// bytes of `argv` untouched; on Windows the UTF-16 command line converted to
// UTF-8, whatever the console's code page (`argv`, already converted to that
// code page, is not used there).
std::vector<std::string> program_arguments(int argc, char** argv);
