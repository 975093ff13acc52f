#include "util/access_control.h"

#include <windows.h>

#include <sddl.h>

#include <gtest/gtest.h>

#include <vector>

#include "testing/file_bytes.h"
#include "testing/temp_dir.h"

namespace {

// One allow entry of an access list as Windows reads it.
struct Entry {
  std::wstring who;  // SID in S-1-... form
  DWORD rights;
  BYTE inheritance;
};

// The access list as Windows parses it: its protected flag and its entries.
struct ParsedAccess {
  bool protectedFromParent = false;
  std::vector<Entry> entries;
};

ParsedAccess Parse(const wchar_t* sddl) {
  ParsedAccess parsed;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor,
                                                            nullptr)) {
    return parsed;
  }
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  GetSecurityDescriptorControl(descriptor, &control, &revision);
  parsed.protectedFromParent = (control & SE_DACL_PROTECTED) != 0;
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
  for (DWORD i = 0; dacl && i < dacl->AceCount; ++i) {
    ACCESS_ALLOWED_ACE* ace = nullptr;
    if (!GetAce(dacl, i, reinterpret_cast<void**>(&ace))) continue;
    if (ace->Header.AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
    wchar_t* sid = nullptr;
    ConvertSidToStringSidW(&ace->SidStart, &sid);
    parsed.entries.push_back({sid ? sid : L"", ace->Mask, ace->Header.AceFlags});
    LocalFree(sid);
  }
  LocalFree(descriptor);
  return parsed;
}

const wchar_t kSystem[] = L"S-1-5-18";
const wchar_t kAdministrators[] = L"S-1-5-32-544";
const wchar_t kUsers[] = L"S-1-5-32-545";
const BYTE kInherited = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
const DWORD kReadAndExecute = FILE_GENERIC_READ | FILE_GENERIC_EXECUTE;

}  // namespace

// Wine keeps no access lists on files (it accepts them and reads back a list made from the
// Unix mode), so the lists are checked as Windows parses them, and applying them is checked
// to succeed.
TEST(AccessControl, InstallFolderListLetsUsersOnlyReadAndExecute) {
  const ParsedAccess access = Parse(InstallFolderAccessList());
  EXPECT_TRUE(access.protectedFromParent);
  ASSERT_EQ(access.entries.size(), 3u);
  EXPECT_EQ(access.entries[0].who, kSystem);
  EXPECT_EQ(access.entries[0].rights, static_cast<DWORD>(FILE_ALL_ACCESS));
  EXPECT_EQ(access.entries[1].who, kAdministrators);
  EXPECT_EQ(access.entries[1].rights, static_cast<DWORD>(FILE_ALL_ACCESS));
  EXPECT_EQ(access.entries[2].who, kUsers);
  EXPECT_EQ(access.entries[2].rights, kReadAndExecute);
  for (const Entry& entry : access.entries) EXPECT_EQ(entry.inheritance, kInherited);
}

TEST(AccessControl, ConfigFileListIsSystemAndAdministratorsOnly) {
  const ParsedAccess access = Parse(AdministratorsOnlyAccessList());
  EXPECT_TRUE(access.protectedFromParent);
  ASSERT_EQ(access.entries.size(), 2u);
  EXPECT_EQ(access.entries[0].who, kSystem);
  EXPECT_EQ(access.entries[1].who, kAdministrators);
  for (const Entry& entry : access.entries) {
    EXPECT_EQ(entry.rights, static_cast<DWORD>(FILE_ALL_ACCESS));
    EXPECT_EQ(entry.inheritance, 0);
  }
}

TEST(AccessControl, AppliesToExistingPathsAndReportsMissingOnes) {
  TestFolder dir;
  WriteBytes(dir / L"Orvaner\\appsettings.json", "{}");
  std::wstring reason = L"untouched";
  EXPECT_TRUE(ProtectInstallFolder(dir / L"Orvaner", &reason));
  EXPECT_TRUE(RestrictToAdministrators(dir / L"Orvaner\\appsettings.json", &reason));
  EXPECT_EQ(reason, L"untouched");
  EXPECT_EQ(ReadBytes(dir / L"Orvaner\\appsettings.json"), "{}");

  EXPECT_FALSE(RestrictToAdministrators(dir / L"missing\\appsettings.json", &reason));
  EXPECT_EQ(reason.rfind(L"SetNamedSecurityInfo failed. Error ", 0), 0u) << reason;
}
