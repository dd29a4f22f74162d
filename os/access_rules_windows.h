// A file's access rules on Windows: the owner and the access control list,
// read from one open file and given to another, and the list that keeps a
// new file private to this user.
#pragma once

#include <windows.h>

// What CreateFileW needs to give a new file an access control list that lets
// only this process's user open it, protected from the entries its folder
// passes on. Its parts point into each other: it is filled where it stays.
struct private_access {
  alignas(TOKEN_USER) BYTE user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  alignas(ACL) BYTE list[sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + SECURITY_MAX_SID_SIZE];
  SECURITY_DESCRIPTOR descriptor;
  SECURITY_ATTRIBUTES attributes;
};

// Fills in `access` for this process's user; false when the user cannot be
// read from the process's token.
bool make_private(private_access& access);

// Gives the open new `file` the owner of the file open as `existing`, with
// the restore privilege where this user may not name that owner otherwise;
// false when it cannot be read or given. A file system without owners has
// nothing to give.
bool take_owner(HANDLE file, HANDLE existing);

// Gives the new file the access control list of the replaced one, open as
// `existing` (its own entries; inherited ones come from the same folder).
// False when the list cannot be carried over: the new file could be more open.
bool take_access_list(HANDLE file, HANDLE existing);
