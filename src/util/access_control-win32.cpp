#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include "util/access_control.h"

namespace {

// SYSTEM and Administrators: full control; Users: read and execute; inherited by files and
// folders below.
const wchar_t kInstallFolderAccess[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";
// SYSTEM and Administrators only.
const wchar_t kAdministratorsOnlyAccess[] = L"D:P(A;;FA;;;SY)(A;;FA;;;BA)";

std::wstring ErrorText(const wchar_t* operation, DWORD code) {
  std::wstring text = std::wstring(operation) + L" failed. Error " + std::to_wstring(code);
  wchar_t* buffer = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  if (buffer != nullptr) {
    std::wstring message(buffer, length);
    LocalFree(buffer);
    while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r')) {
      message.pop_back();
    }
    text += L": " + message;
  }
  return text;
}

bool ApplyProtectedAccess(const std::wstring& path, const wchar_t* sddl, std::wstring* reason) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor,
                                                            nullptr)) {
    if (reason) *reason = ErrorText(L"Building the access list", GetLastError());
    return false;
  }
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL dacl = nullptr;
  GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
  const DWORD result =
      SetNamedSecurityInfoW(const_cast<wchar_t*>(path.c_str()), SE_FILE_OBJECT,
                            DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                            nullptr, nullptr, dacl, nullptr);
  LocalFree(descriptor);
  if (result != ERROR_SUCCESS) {
    if (reason) *reason = ErrorText(L"SetNamedSecurityInfo", result);
    return false;
  }
  return true;
}

}  // namespace

const wchar_t* InstallFolderAccessList() { return kInstallFolderAccess; }

const wchar_t* AdministratorsOnlyAccessList() { return kAdministratorsOnlyAccess; }

bool ProtectInstallFolder(const std::wstring& folder, std::wstring* reason) {
  return ApplyProtectedAccess(folder, kInstallFolderAccess, reason);
}

bool RestrictToAdministrators(const std::wstring& path, std::wstring* reason) {
  return ApplyProtectedAccess(path, kAdministratorsOnlyAccess, reason);
}
