// A file's access rules on Windows: the owner (given with the restore
// privilege where needed), the access control list, and the list that keeps
// a new file private to this user.
#include "os/access_rules_windows.h"

// After windows.h, which they need.
#include <aclapi.h>

namespace {

// Enables, or disables, the restore privilege in the process's token: the
// right to give a file any owner. False when the process does not hold it.
bool set_restore_privilege(bool enabled) {
  HANDLE token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token)) return false;
  TOKEN_PRIVILEGES privileges = {};
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = enabled ? SE_PRIVILEGE_ENABLED : 0;
  // The call succeeds when the token lacks the privilege, and says so in the last error.
  const bool adjusted =
      LookupPrivilegeValueW(nullptr, L"SeRestorePrivilege", &privileges.Privileges[0].Luid) &&
      AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr) &&
      GetLastError() == ERROR_SUCCESS;
  CloseHandle(token);
  return adjusted;
}

// Gives the open new `file` the owner `owner`: at once where this user may
// name it (itself, or one of its groups that may own files), otherwise with
// the restore privilege, enabled for that call only. False when neither may.
bool give_owner(HANDLE file, PSID owner) {
  if (SetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, owner, nullptr, nullptr,
                      nullptr) == ERROR_SUCCESS) {
    return true;
  }
  if (!set_restore_privilege(true)) return false;
  const bool given = SetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, owner,
                                     nullptr, nullptr, nullptr) == ERROR_SUCCESS;
  set_restore_privilege(false);
  return given;
}

}  // namespace

// Fills in `access` for this process's user; false when the user cannot be
// read from the process's token.
bool make_private(private_access& access) {
  HANDLE token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  DWORD size = 0;
  const bool found =
      GetTokenInformation(token, TokenUser, access.user, sizeof access.user, &size) != 0;
  CloseHandle(token);
  const PSID user = reinterpret_cast<TOKEN_USER*>(access.user)->User.Sid;
  const PACL list = reinterpret_cast<PACL>(access.list);
  if (!found || !InitializeAcl(list, sizeof access.list, ACL_REVISION) ||
      !AddAccessAllowedAce(list, ACL_REVISION, FILE_ALL_ACCESS, user) ||
      !InitializeSecurityDescriptor(&access.descriptor, SECURITY_DESCRIPTOR_REVISION) ||
      !SetSecurityDescriptorDacl(&access.descriptor, TRUE, list, FALSE) ||
      !SetSecurityDescriptorControl(&access.descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED)) {
    return false;
  }
  access.attributes = {sizeof access.attributes, &access.descriptor, FALSE};
  return true;
}

// Gives the open new `file` the owner of the file open as `existing`; false
// when it cannot be read or given. A file system without owners has nothing
// to give.
bool take_owner(HANDLE file, HANDLE existing) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(existing, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                      nullptr, nullptr, &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  const bool given = owner == nullptr || give_owner(file, owner);
  LocalFree(descriptor);
  return given;
}

// Gives the new file the access control list of the replaced one, open as
// `existing` (its own entries; inherited ones come from the same folder).
// False when the list cannot be carried over: the new file could be more open.
bool take_access_list(HANDLE file, HANDLE existing) {
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(existing, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                      nullptr, &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  bool kept = GetSecurityDescriptorControl(descriptor, &control, &revision) != 0;
  if (kept && dacl != nullptr) {
    const SECURITY_INFORMATION what =
        DACL_SECURITY_INFORMATION |
        ((control & SE_DACL_PROTECTED) != 0 ? PROTECTED_DACL_SECURITY_INFORMATION
                                            : UNPROTECTED_DACL_SECURITY_INFORMATION);
    kept = SetSecurityInfo(file, SE_FILE_OBJECT, what, nullptr, nullptr, dacl, nullptr) ==
           ERROR_SUCCESS;
  }
  LocalFree(descriptor);
  return kept;
}
