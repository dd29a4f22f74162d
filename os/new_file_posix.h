// Creating the new output file on POSIX systems, in the target's folder,
// and giving it a name there once complete.
#pragma once

#include <sys/types.h>

#include "os/output_file.h"

// The new file in the target's folder: unnamed where the system allows,
// otherwise named, but never in an append-only folder, where a named file
// could not be removed if the run failed. Private from the start when it is
// to replace a file, created like any new file otherwise. out.open is false
// on failure, with errno saying why.
output_file create_new_file(const output_target& target);

// Gives the unnamed new file a temporary name beside the target, recorded
// for removal by a signal, so that it can be swapped into place.
bool name_unnamed(output_file& out);

// Where the system refused to name the unnamed new file: its picture copied
// to a new named temporary file (created with `mode`), which takes its place.
bool move_to_named_file(output_file& out, mode_t mode);
