// A file's access rules on POSIX systems: owner and group, permission bits,
// and on Linux its access control list, other extended attributes and the
// flags chattr sets; read from one open file and given to another, both by
// descriptor.
#pragma once

// Gives the file `to` exactly the access rules the file `from` has now: its
// owner and group, all its permission bits (set-user-ID, set-group-ID and
// sticky included), its access control list, its extended attributes and
// its chattr flags, and nothing more (an access control list, attribute or
// flag `to` has but `from` lacks, such as one inherited from the folder, is
// removed). Labels the system keeps (security.*) are copied where the
// process may set them and otherwise left to the system. A file system that
// keeps no owners or modes (FAT) may refuse to set them where `to` shows the
// right ones already. False when any rule could not be given exactly, and
// for an append-only or immutable `from`; `to` is then in some state between.
bool copy_access_rules(int from, int to);

// Makes the file `fd`, which this process created, private to it: this
// user's, permission bits 0600, no access control list. False when it could
// not be made so; true on a file system that keeps no modes (FAT), where
// every file shows the same ones.
bool make_private(int fd);
