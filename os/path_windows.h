// Names of files as Windows' wide calls take them.
#pragma once

#include <string>

// The UTF-16 path that names the file `name` (UTF-8 text) names, in `path`:
// as given, or, when too long for the plain form (MAX_PATH), made absolute
// and given the "\\?\" prefix, so that long paths work wherever the file
// system allows them. False when `name` is not well-formed text; then it
// names no file.
bool windows_path(const std::string& name, std::wstring& path);
