// What the system lets a run do with an existing output and its folder on
// POSIX systems, found out before anything is written: whether the kernel's
// rule for files in shared sticky folders forbids writing the file, and
// whether a new file may take its place by a rename at all.
#pragma once

#include <sys/stat.h>

// Whether the kernel's protected-regular rule forbids this process to write
// the regular file `file` (as fstat describes it) found in `folder`: the
// folder is sticky and world-writable (or only group-writable, where the
// system's own fs.protected_regular setting is 2) and the file belongs to
// neither this user nor the folder's owner. Applied to every user, root
// included, whatever the setting says on this machine.
bool protected_regular(int folder, const struct stat& file);

// Whether a complete new file may take the place of the open file `file` in
// `folder` by a rename: not in a sticky folder unless this user is root or
// owns the file or the folder; not in an append-only folder (chattr +a),
// which refuses renames and removals; not for a file on another mount than
// its folder (a file bind-mounted at the name, which cannot be renamed
// over); and never where the program cannot read every kind of rule a file
// may carry (POSIX systems without Linux's calls), so that a rename never
// drops one it cannot see.
bool replace_by_rename(int folder, int file);

// Whether `folder` is append-only: names may be added but never removed or
// renamed. False where that cannot be known.
bool append_only_folder(int folder);
