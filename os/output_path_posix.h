// Finding the folder an output name leads to on POSIX systems, following
// symbolic links one at a time under the rule Linux applies to links in
// shared folders, so that every later step works inside that one folder.
#pragma once

#include <string>

// Resolves `name` component by component, each folder opened without
// following links and each link followed by hand, and returns a descriptor
// of the folder that holds the file the name finally leads to, with that
// file's name in `leaf` (a name that is not a link, or that does not exist).
// Guarantees: no link is followed that Linux's protected-links rule would
// refuse to follow for writing (a link in a sticky, world-writable folder
// owned by neither this user nor that folder's owner), whichever component it
// is; no more than MAX_LINKS links are followed. Returns -1 when the name
// cannot be resolved that way or its folder does not exist.
int open_output_folder(const std::string& name, std::string& leaf);
