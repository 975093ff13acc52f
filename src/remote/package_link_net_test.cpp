// The outcomes of reading the package link, line for line, against the local update hosts;
// run through tests/support/run_in_testnet.py.
#include <gtest/gtest.h>

#include "log/setup_log.h"
#include "remote/allowed_hosts.h"
#include "remote/package_link.h"
#include "testing/log_lines.h"
#include "testing/temp_dir.h"
#include "testing/test_site.h"

namespace {

using Lines = std::vector<std::wstring>;

const std::wstring kLinkPath = L"/Upgrade/pkglink.txt";
const std::wstring& Primary() { return AllowedHosts()[0]; }
const std::wstring& Fallback() { return AllowedHosts()[1]; }
const std::wstring kPrimaryUrl = L"https://" + AllowedHosts()[0] + L"/Upgrade/pkglink.txt";
const std::wstring kFallbackUrl = L"https://" + AllowedHosts()[1] + L"/Upgrade/pkglink.txt";
const std::wstring kWarn = L"[WARN] Primary URL failed or timed out. Trying fallback URL. Reason: ";
const std::wstring kBothFailed =
    L"[ERROR] Failed to read remote update text from primary and fallback URLs.";
const std::wstring kFromPrimary = L"[INFO] Remote update text loaded from: " + kPrimaryUrl;
const std::wstring kFromFallback = L"[INFO] Remote update text loaded from: " + kFallbackUrl;

// A link file body on a host, or a fault line for it ("" serves nothing: 404).
struct Served {
  std::string body;
  std::string fault = "";
};

class PackageLinkNet : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(TestSitesFolder().empty())
        << "run inside the test network: tests/support/run_in_testnet.py";
  }

  void Serve(const std::wstring& host, const Served& served) {
    UnpublishOnHost(host, kLinkPath);
    ClearFaultOnHost(host, kLinkPath);
    if (!served.body.empty()) PublishOnHost(host, kLinkPath, served.body);
    if (!served.fault.empty()) SetFaultOnHost(host, kLinkPath, served.fault);
  }

  // GetRemotePackageLink with the two link files served as given; the log lines it wrote.
  std::optional<std::wstring> Fetch(const Served& primary, const Served& fallback, Lines& lines) {
    Serve(Primary(), primary);
    Serve(Fallback(), fallback);
    const std::wstring logPath = dir_ / (L"run" + std::to_wstring(++runs_) + L".log");
    std::optional<std::wstring> link;
    {
      SetupLog log(logPath);
      link = GetRemotePackageLink(log);
    }
    lines = LoggedLines(logPath);
    return link;
  }

  TestFolder dir_;
  int runs_ = 0;
};

}  // namespace

TEST_F(PackageLinkNet, ThePrimaryDeliversTheLink) {
  const std::wstring link = L"https://" + Primary() + L"/Upgrade/Agent_1.2.zip";
  Lines lines;
  EXPECT_EQ(Fetch({ToUtf8(link) + "\n"}, {"https://wrong/should-not-be-read.zip"}, lines), link);
  EXPECT_EQ(lines, Lines{kFromPrimary});
}

TEST_F(PackageLinkNet, ThePrimaryFailsAndTheFallbackDeliversTheLink) {
  const std::wstring link = L"https://" + Fallback() + L"/Upgrade/Agent.zip";
  const std::string body = ToUtf8(link);
  const std::pair<Served, std::wstring> primaries[] = {
      {{"", "status 500"}, L"HTTP status is not success: 500"},
      {{"", ""}, L"HTTP status is not success: 404"},
      {{"", "status 200"}, L""},  // an empty body has no reason of its own
      {{"whole link file", "truncate 4"}, L"Response body is shorter than its declared length."},
  };
  for (const auto& [primary, reason] : primaries) {
    Lines lines;
    EXPECT_EQ(Fetch(primary, {body}, lines), link) << primary.fault;
    EXPECT_EQ(lines, (Lines{kWarn + reason, kFromFallback})) << primary.fault;
  }
}

TEST_F(PackageLinkNet, BothFailing) {
  const std::tuple<Served, Served, Lines> cases[] = {
      {{"", "status 404"},
       {"", "status 503"},
       {kWarn + L"HTTP status is not success: 404",
        L"[ERROR] Fallback URL failed: HTTP status is not success: 503", kBothFailed}},
      // An empty fallback body repeats the reason the primary left.
      {{"", "status 500"},
       {"", "status 204"},
       {kWarn + L"HTTP status is not success: 500",
        L"[ERROR] Fallback URL failed: HTTP status is not success: 500", kBothFailed}},
      {{"", "status 200"},
       {"", "status 200"},
       {kWarn, L"[ERROR] Fallback URL failed: ", kBothFailed}},
  };
  for (const auto& [primary, fallback, expected] : cases) {
    Lines lines;
    EXPECT_FALSE(Fetch(primary, fallback, lines).has_value());
    EXPECT_EQ(lines, expected);
  }

  Lines lines;
  EXPECT_FALSE(Fetch({"", "close"}, {"", "close"}, lines).has_value());
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].rfind(kWarn + L"HTTP request failed. WinHTTP error: ", 0), 0u) << lines[0];
  EXPECT_EQ(lines[1].rfind(L"[ERROR] Fallback URL failed: HTTP request failed. WinHTTP error: ", 0),
            0u)
      << lines[1];
  EXPECT_EQ(lines[2], kBothFailed);
}

// GetRemotePackageLink's own URLs always pass the check, so the rejections are shown on
// ReadTextWithFallback; GetRemotePackageLink adds its "Failed to read" line to the absent result.
TEST_F(PackageLinkNet, RejectedUrlsAreNotRequested) {
  Serve(Primary(), {"", "status 500"});
  Serve(Fallback(), {"fallback text"});
  const size_t requestsBefore = TestSiteRequests().size();

  struct Case {
    std::wstring primary, fallback;
    Lines lines;
    size_t requests;
  };
  const Case cases[] = {
      {L"http://" + Primary() + kLinkPath,
       kFallbackUrl,
       {L"[ERROR] Primary URL rejected: Only HTTPS URLs are allowed."},
       0},
      {L"https://evil.example/Upgrade/pkglink.txt",
       kFallbackUrl,
       {L"[ERROR] Primary URL rejected: Host is not in the allowed list: evil.example"},
       0},
      {kPrimaryUrl,
       L"https://Evil.Example/pkglink.txt",
       {kWarn + L"HTTP status is not success: 500",
        L"[ERROR] Fallback URL rejected: Host is not in the allowed list: Evil.Example"},
       1},
      {kPrimaryUrl,
       L"fallback",
       {kWarn + L"HTTP status is not success: 500", L"[ERROR] Fallback URL rejected: Invalid URL."},
       1},
      {kPrimaryUrl, L"", {kWarn + L"HTTP status is not success: 500"}, 1},
  };
  size_t expectedRequests = requestsBefore;
  for (const Case& c : cases) {
    const std::wstring logPath = dir_ / (L"rejected" + std::to_wstring(++runs_) + L".log");
    std::wstring used = L"unchanged";
    {
      SetupLog log(logPath);
      EXPECT_FALSE(ReadTextWithFallback(c.primary, c.fallback, log, &used).has_value());
    }
    EXPECT_EQ(LoggedLines(logPath), c.lines) << c.primary << L" " << c.fallback;
    EXPECT_EQ(used, L"unchanged");
    expectedRequests += c.requests;
    EXPECT_EQ(TestSiteRequests().size(), expectedRequests) << c.primary << L" " << c.fallback;
  }

  std::wstring used;
  SetupLog log(dir_ / L"used.log");
  EXPECT_EQ(ReadTextWithFallback(kPrimaryUrl, kFallbackUrl, log, &used), L"fallback text");
  EXPECT_EQ(used, kFallbackUrl);
  EXPECT_EQ(ReadTextWithFallback(kPrimaryUrl, kFallbackUrl, log, nullptr), L"fallback text");
}

TEST_F(PackageLinkNet, TheFirstLineOfTheTrimmedTextIsTheLink) {
  const std::string p = ToUtf8(Primary());
  const std::pair<std::string, std::wstring> cases[] = {
      {"  https://" + p + "/Upgrade/Agent.zip\r\nnotes for operators\r\n",
       L"https://" + Primary() + L"/Upgrade/Agent.zip"},
      {"\r\n\r\n \t\nhttps://" + p + "/Upgrade/First.zip \r\nhttps://" + p + "/Upgrade/Second.zip",
       L"https://" + Primary() + L"/Upgrade/First.zip"},
      {"\xEF\xBB\xBFhttps://" + p + "/Upgrade/Marked.zip",
       L"https://" + Primary() + L"/Upgrade/Marked.zip"},
      {"https://" + p + "/pkg/Agent_ROFS.ZIP", L"https://" + Primary() + L"/pkg/Agent_ROFS.ZIP"},
      {"https://" + ToUtf8(AllowedHosts()[2]) + "/Caf\xC3\xA9.zip",
       L"https://" + AllowedHosts()[2] + L"/Caf\u00E9.zip"},
  };
  for (const auto& [body, link] : cases) {
    Lines lines;
    EXPECT_EQ(Fetch({body}, {}, lines), link) << link;
    EXPECT_EQ(lines, Lines{kFromPrimary}) << link;
  }
}

TEST_F(PackageLinkNet, ALinkThatIsNotAnAllowedDirectZipIsRefused) {
  const std::string p = ToUtf8(Primary());
  const std::pair<std::string, std::wstring> cases[] = {
      {"https://evil.example/Upgrade/Agent.zip",
       L"[ERROR] ZIP download URL rejected: Host is not in the allowed list: evil.example"},
      {"http://" + p + "/Upgrade/Agent.zip",
       L"[ERROR] ZIP download URL rejected: Only HTTPS URLs are allowed."},
      {"Agent.zip", L"[ERROR] ZIP download URL rejected: Invalid URL."},
      {" \r\n\t\r\n", L"[ERROR] ZIP download URL rejected: Invalid URL."},   // blank file
      {"\xEF\xBB\xBF", L"[ERROR] ZIP download URL rejected: Invalid URL."},  // only the mark
      {"\xEF\xBB\xBF\r\n", L"[ERROR] ZIP download URL rejected: Invalid URL."},
      {"https://" + p + "/Upgrade/Agent.zip?token=1",
       L"[ERROR] Remote update text must contain a direct .zip link."},
      {"https://" + p + "/Upgrade/Agent.exe",
       L"[ERROR] Remote update text must contain a direct .zip link."},
      {"https://" + p + "/Upgrade/",
       L"[ERROR] Remote update text must contain a direct .zip link."},
  };
  for (const auto& [body, error] : cases) {
    Lines lines;
    EXPECT_FALSE(Fetch({body}, {"https://" + p + "/Upgrade/Fallback.zip"}, lines).has_value())
        << body;
    EXPECT_EQ(lines, (Lines{kFromPrimary, error})) << body;
  }
  // From the fallback, the loading lines are the warning and the fallback's line.
  Lines lines;
  EXPECT_FALSE(Fetch({"", "status 500"}, {"https://evil.example/a.zip"}, lines).has_value());
  EXPECT_EQ(lines, (Lines{kWarn + L"HTTP status is not success: 500", kFromFallback,
                          L"[ERROR] ZIP download URL rejected: Host is not in the allowed list: "
                          L"evil.example"}));
}
