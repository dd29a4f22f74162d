// Names of files as Windows' wide calls take them.
#pragma once

#include <string>

// The UTF-16 path that names the file `name` (UTF-8 text) names, in `path`:
// as given, or, when too long for the plain form (MAX_PATH), made absolute
// and given the "\\?\" prefix, so that long paths work wherever the file
// system allows them. A name already in the long form is kept, in either
// spelling of its prefix: "\\?\" as it is, "//?/" with its slashes turned
// into backslashes (and "." and ".." resolved, as the system would).
// Every name the program opens or creates passes through here on its own,
// so each is judged by its own length. False when `name` is not
// well-formed text; then it names no file.
bool windows_path(const std::string& name, std::wstring& path);

// Whether `path` holds a colon other than its drive letter's ("C:" at its
// start, or after the "\\?\" prefix). Such a name is no plain file: on NTFS
// "a:b" is the stream "b" of the file "a", elsewhere an invalid name.
bool names_a_stream(const std::wstring& path);
