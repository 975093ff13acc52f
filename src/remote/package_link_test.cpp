#include "remote/package_link.h"

#include <gtest/gtest.h>

#include "remote/allowed_hosts.h"
#include "testing/file_bytes.h"
#ifdef _WIN32
#include "testing/temp_dir.h"
#endif
#include "util/file.h"
#include "util/path.h"
#include "util/text.h"

namespace {

const std::wstring kPrimaryBase = L"https://" + AllowedHosts()[0] + L"/Upgrade/";
const std::wstring kFallbackBase = L"https://" + AllowedHosts()[1] + L"/Upgrade/";

}  // namespace

TEST(PackageLink, LinkTextUrlsAreUnderUpgradeOnThePrimaryAndFallbackHosts) {
  EXPECT_EQ(PrimaryLinkTextUrl(), L"https://primary.orvane.test/Upgrade/pkglink.txt");
  EXPECT_EQ(FallbackLinkTextUrl(), L"https://fallback.orvane.test/Upgrade/pkglink.txt");
}

TEST(BuildFallbackUrl, MovesOnlyUrlsUnderThePrimaryUpgradeFolder) {
  const std::wstring primaryUpper = L"HTTPS://PRIMARY.ORVANE.TEST/UPGRADE/";
  const std::pair<std::wstring, std::wstring> cases[] = {
      {kPrimaryBase + L"Agent.zip", kFallbackBase + L"Agent.zip"},
      {kPrimaryBase + L"pkg/Agent_ROFS.ZIP?x=1#y", kFallbackBase + L"pkg/Agent_ROFS.ZIP?x=1#y"},
      {primaryUpper + L"MixedCase.Zip", kFallbackBase + L"MixedCase.Zip"},
      {kPrimaryBase, kFallbackBase},
      {kFallbackBase + L"Agent.zip", L""},
      {L"https://" + AllowedHosts()[2] + L"/Upgrade/Agent.zip", L""},
      {L"https://" + AllowedHosts()[0] + L"/Other/Agent.zip", L""},
      {L"https://" + AllowedHosts()[0] + L"/Upgrade", L""},
      {L"http://" + AllowedHosts()[0] + L"/Upgrade/Agent.zip", L""},
      {L"", L""},
  };
  for (const auto& [url, fallback] : cases) EXPECT_EQ(BuildFallbackUrl(url), fallback) << url;
}

TEST(FileNameFromLink, TakesTheLastComponentWithoutQueryOrFragment) {
  const std::pair<std::wstring, std::wstring> cases[] = {
      {L"https://h/pkg/Agent_ROFS.zip?x=1#y", L"Agent_ROFS.zip"},
      {L"https://h/pkg/Agent.zip#frag/with/slash", L"Agent.zip"},
      {L"https://h/pkg/Agent.zip?next=/a/b.zip", L"Agent.zip"},
      {L"https://h/a\\b\\Back.zip", L"Back.zip"},
      {L"Agent.zip", L"Agent.zip"},
      {L"https://h/pkg/", L""},
      {L"", L""},
  };
  for (const auto& [link, name] : cases) EXPECT_EQ(FileNameFromLink(link), name) << link;
}

TEST(IsRofsPackage, LooksAtTheFileNameWithoutOneFinalZip) {
  const std::pair<std::wstring, bool> cases[] = {
      {L"https://h/Upgrade/Agent-rofs.ZIP", true},
      {L"https://h/Upgrade/AgentROFS.zip", true},
      {L"https://h/Upgrade/pkg/Agent_ROFS.zip?x=1#y", true},
      {L"https://h/Upgrade/AgentROFS", true},
      {L"https://h/Upgrade/AgentROFS.zip.zip", false},
      {L"https://h/Upgrade/ROFS-Agent.zip", false},
      {L"https://h/ROFS/Agent.zip", false},
      {L"https://h/Upgrade/Agent.zip?ROFS", false},
  };
  for (const auto& [link, rofs] : cases) EXPECT_EQ(IsRofsPackage(link), rofs) << link;
}

// The link file is written by the Windows file helpers; the native build checks only the rules.
#ifdef _WIN32
TEST(WriteLocalLinkFile, WritesMarkLinkAndOneLineFeedAndReadsBackAsTheLink) {
  TestFolder dir;
  const std::wstring folder = dir / L"Orvaner";
  const std::wstring link = kPrimaryBase + L"Agent_\u00E9_ROFS.zip?t=1";
  ASSERT_TRUE(WriteLocalLinkFile(folder, link));  // the folder is created
  EXPECT_EQ(ReadBytes(JoinPath(folder, L"pkglink.txt")),
            "\xEF\xBB\xBF"
            "https://primary.orvane.test/Upgrade/Agent_\xC3\xA9_ROFS.zip?t=1\n");
  EXPECT_EQ(TrimText(ReadTextFile(JoinPath(folder, L"pkglink.txt")).value()), link);

  WriteBytes(JoinPath(folder, L"pkglink.txt"), "old link\r\nwith a second line\r\n");
  ASSERT_TRUE(WriteLocalLinkFile(folder, kPrimaryBase + L"B.zip"));
  EXPECT_EQ(ReadBytes(JoinPath(folder, L"pkglink.txt")),
            "\xEF\xBB\xBFhttps://primary.orvane.test/Upgrade/B.zip\n");
}

TEST(WriteLocalLinkFile, FailsWhenTheLinkFileNameIsAFolder) {
  TestFolder dir;
  ASSERT_TRUE(EnsureDirectory(dir / L"pkglink.txt"));
  EXPECT_FALSE(WriteLocalLinkFile(dir.path(), kPrimaryBase + L"A.zip"));
  EXPECT_TRUE(IsDirectory(dir / L"pkglink.txt"));
}
#endif  // _WIN32
