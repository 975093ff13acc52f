#include "driver/folder_access.h"

#include <gtest/gtest.h>

#include "log/setup_log.h"
#include "testing/file_bytes.h"
#include "testing/log_lines.h"
#include "testing/temp_dir.h"

TEST(SecureInstallFolder, SecuresAFolderQuietlyButNeverADriveRoot) {
  TestFolder dir;
  WriteBytes(dir / L"Orvaner\\appsettings.json", "{}");
  {
    SetupLog log(dir / L"setup.log");
    SecureInstallFolder(dir / L"Orvaner", log);
    SecureAgentConfig(dir / L"Orvaner", log);
    SecureInstallFolder(L"C:\\", log);
  }
  EXPECT_EQ(LoggedLines(dir / L"setup.log"),
            std::vector<std::wstring>{
                L"[WARN] Not changing the access list of C:\\: it is a drive root."});
}

TEST(SecureAgentConfig, WarnsWithThePathWhenTheFileCannotBeSecured) {
  TestFolder dir;
  {
    SetupLog log(dir / L"setup.log");
    SecureAgentConfig(dir / L"missing", log);
  }
  const std::vector<std::wstring> lines = LoggedLines(dir / L"setup.log");
  ASSERT_EQ(lines.size(), 1u);
  const std::wstring prefix = L"[WARN] Cannot restrict access to " +
                              (dir / L"missing\\appsettings.json") +
                              L": SetNamedSecurityInfo failed. Error ";
  EXPECT_EQ(lines[0].rfind(prefix, 0), 0u) << lines[0];
}
