// Putting a complete new output in place on POSIX systems, by names inside
// its one folder: at a name that must still be free, or in exchange for the
// file the name holds, so that the run can see what it took out.
#pragma once

#include <cstdint>
#include <string>

// Gives the unnamed (Linux O_TMPFILE) file `fd` the name `name` in `folder`,
// directly or, where the process may not, through /proc. Never replaces a
// file: false with errno EEXIST when the name is taken.
bool link_unnamed(int fd, int folder, const std::string& name);

// Whether the unnamed file `fd` can be named later by any process: /proc,
// through which link_unnamed names it where the process may not link it
// directly (root of a user namespace, say), is there and leads to it.
bool linkable_unnamed(int fd);

// Renames `from` to `to` in `folder` only if `to` is free; false with errno
// EEXIST when it is taken. Where the system cannot rename so (EINVAL,
// ENOSYS), a hard link and the removal of `from` do the same; where the file
// system has no hard links either, a plain rename does, which could replace
// a file made at that very moment.
bool rename_to_free_name(int folder, const std::string& from, const std::string& to);

// Copies the first `length` bytes of the file `from` to the end of `to`;
// false when they could not all be read or written.
bool copy_contents(int from, int to, uint64_t length);

// What became of a swap of a new file into place.
enum class swap_result {
  swapped,       // in place; what it replaced is gone
  another_file,  // the name held another file, left there; the new one kept
  failed,        // nothing changed
  stuck,         // swapped in, but another file it replaced could not be put
                 // back and is left under the temporary name
};

// Swaps the file named `temp` in `folder` with the file at `leaf`, and keeps
// the swap only if what came out is the open file `expected`, then removes
// that (it is under `temp` now); another file is swapped back. Where names
// cannot be swapped (no renameat2, or a file system without the exchange),
// `leaf` is checked to hold `expected`, then renamed over, which a file
// swapped in between those two steps would lose. The terminating signals
// are held throughout, and the signal-removed temporary file is forgotten
// once `temp` no longer holds the new file, so that no signal removes the
// wrong one.
swap_result swap_into_place(int folder, const std::string& temp, const std::string& leaf,
                            int expected);
