// Writing an existing output in place on POSIX systems: taking turns with
// other runs, reserving the room before the first byte is overwritten, and
// completing the file.
#pragma once

#include <cstdint>

// Takes an exclusive lock on the open file `fd`, waiting while another run
// holds one. True once locked, and where the file system cannot give locks
// at all (ENOLCK, as NFS without its lock service answers): the run then
// goes on unlocked, as opening the file for writing would.
bool lock_for_writing(int fd);

// Reserves room for `length` bytes in the open file `fd` before anything in
// it is overwritten, so that a full disk, a quota or the file-size limit
// refuses the run while the file is still as it was: on Linux without
// changing its size, elsewhere with posix_fallocate. Where the file system
// cannot reserve room, its free space and the file-size limit are checked
// instead. False when the room is refused.
bool reserve_room(int fd, uint64_t length);

// Completes the file `fd` written in place with `length` bytes from its
// start: cut to that length, unless it has it already (some file systems
// refuse a cut that changes nothing), then flushed, so that the cut reaches
// the disk with the picture; then closed, which ends the lock. False when a
// step fails.
bool complete_in_place(int fd, uint64_t length);
