// Real transfers against the local update hosts; run through tests/support/run_in_testnet.py.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "remote/allowed_hosts.h"
#include "remote/http_client.h"
#include "testing/file_bytes.h"
#include "testing/temp_dir.h"
#include "testing/test_site.h"
#include "util/path.h"

namespace {

const std::wstring& Primary() { return AllowedHosts()[0]; }

std::wstring Url(const std::wstring& path, uint16_t port = 0) {
  return L"https://" + Primary() + (port ? L":" + std::to_wstring(port) : L"") + path;
}

std::string Pattern(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i % 251);
  return bytes;
}

// The names in a folder, sorted.
std::vector<std::wstring> Entries(const std::wstring& folder) {
  std::vector<std::wstring> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    names.push_back(entry.path().filename().wstring());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// True when the file holds exactly the pattern of PublishPatternOnHost, read piece by piece.
bool HoldsPattern(const std::wstring& path, uint64_t size) {
  std::ifstream in(std::filesystem::path(path), std::ios::binary);
  const std::string expected = Pattern(251 * 4096);
  std::string piece(expected.size(), '\0');
  uint64_t seen = 0;
  while (in.read(piece.data(), static_cast<std::streamsize>(piece.size())) || in.gcount() > 0) {
    const size_t got = static_cast<size_t>(in.gcount());
    if (piece.compare(0, got, expected, 0, got) != 0) return false;
    seen += got;
  }
  return seen == size;
}

// "HTTP request failed. WinHTTP error: " and a WinHTTP code (12001 to 12199).
bool IsWinHttpRequestFailure(const std::wstring& reason) {
  const std::wstring prefix = L"HTTP request failed. WinHTTP error: ";
  if (reason.rfind(prefix, 0) != 0) return false;
  const std::wstring code = reason.substr(prefix.size());
  return code.size() == 5 && code.find_first_not_of(L"0123456789") == std::wstring::npos &&
         std::stoul(code) > 12000 && std::stoul(code) < 12200;
}

class HttpClientNet : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(TestSitesFolder().empty())
        << "run inside the test network: tests/support/run_in_testnet.py";
  }
  TestFolder dir_;
};

}  // namespace

TEST_F(HttpClientNet, DownloadsTextWithoutTheMarkAndSendsThePathAsWritten) {
  PublishOnHost(Primary(), L"/text/link.txt",
                "\xEF\xBB\xBF"
                "caf\xC3\xA9\r\nsecond line\n");
  std::wstring reason = L"earlier";
  EXPECT_EQ(DownloadText(Url(L"/text/link.txt"), &reason), L"caf\u00E9\r\nsecond line\n");
  EXPECT_EQ(DownloadText(Url(L"/text/link.txt?a=1&b=%41#frag"), &reason),
            L"caf\u00E9\r\nsecond line\n");
  EXPECT_EQ(reason, L"earlier");

  // Nothing after the host: the request asks for "/" (a folder on the test host: 404).
  EXPECT_FALSE(DownloadText(L"https://" + Primary(), &reason).has_value());
  EXPECT_EQ(reason, L"HTTP status is not success: 404");

  const std::vector<std::wstring> requests = TestSiteRequests();
  ASSERT_GE(requests.size(), 3u);
  const std::wstring host = Primary() + L"\t443\tGET\t";
  EXPECT_EQ(requests[requests.size() - 3].rfind(host + L"/text/link.txt\tOrvane.Setup/1.0\t", 0),
            0u)
      << requests[requests.size() - 3];
  EXPECT_EQ(requests[requests.size() - 2].rfind(host + L"/text/link.txt?a=1&b=%41", 0), 0u)
      << requests[requests.size() - 2];
  EXPECT_EQ(requests.back().rfind(host + L"/\tOrvane.Setup/1.0\t", 0), 0u) << requests.back();

  // A plain GET: no headers beyond those the platform always sends.
  for (size_t i = requests.size() - 3; i < requests.size(); ++i) {
    std::wstring names = requests[i].substr(requests[i].rfind(L'\t') + 1) + L",";
    for (size_t start = 0, end; (end = names.find(L',', start)) != std::wstring::npos;
         start = end + 1) {
      const std::wstring name = names.substr(start, end - start);
      EXPECT_TRUE(name == L"Host" || name == L"User-Agent" || name == L"Connection") << name;
    }
  }
}

TEST_F(HttpClientNet, TextBodiesUpToOneMebibyteAreReadWholeAndLargerOnesRefused) {
  PublishOnHost(Primary(), L"/text/exact.txt", std::string(1 << 20, 'a'));
  PublishOnHost(Primary(), L"/text/over.txt", std::string((1 << 20) + 1, 'a'));
  PublishOnHost(Primary(), L"/text/chunked.txt", std::string(3 << 20, 'a'));
  SetFaultOnHost(Primary(), L"/text/chunked.txt", "chunked");  // no length declared

  std::wstring reason = L"earlier";
  const std::optional<std::vector<uint8_t>> exact = HttpGet(Url(L"/text/exact.txt"), &reason);
  ASSERT_TRUE(exact.has_value()) << reason;
  EXPECT_EQ(exact->size(), 1u << 20);
  EXPECT_EQ(DownloadText(Url(L"/text/exact.txt"), &reason)->size(), 1u << 20);
  EXPECT_EQ(reason, L"earlier");
  for (const wchar_t* path : {L"/text/over.txt", L"/text/chunked.txt"}) {
    reason = L"earlier";
    EXPECT_FALSE(DownloadText(Url(path), &reason).has_value()) << path;
    EXPECT_EQ(reason, L"Response body is too large.") << path;
  }
}

TEST_F(HttpClientNet, DownloadsFilesOfOneAndOneHundredMebibytes) {
  for (const uint64_t size : {uint64_t{1} << 20, uint64_t{100} << 20}) {
    const std::wstring path = L"/files/" + std::to_wstring(size) + L".bin";
    PublishPatternOnHost(Primary(), path, size);
    const std::wstring destination = dir_ / (std::to_wstring(size) + L".bin");
    std::wstring reason = L"earlier";
    ASSERT_TRUE(DownloadToFile(Url(path), destination, &reason)) << reason;
    EXPECT_EQ(reason, L"earlier");
    EXPECT_TRUE(HoldsPattern(destination, size)) << size;
  }
  EXPECT_EQ(Entries(dir_.path()), (std::vector<std::wstring>{L"1048576.bin", L"104857600.bin"}));
}

TEST_F(HttpClientNet, StatusOutsideTwoHundredsFailsWithTheStatus) {
  PublishOnHost(Primary(), L"/status/target.txt", "target");
  struct Case {
    std::string fault;
    std::wstring reason;
  };
  const Case cases[] = {
      {"", L"HTTP status is not success: 404"},  // nothing published there
      {"status 404 gone", L"HTTP status is not success: 404"},
      {"status 500 broken", L"HTTP status is not success: 500"},
      {"status 503", L"HTTP status is not success: 503"},
      // Redirect statuses that name no place to go, and one that is not followed at all.
      {"status 300", L"HTTP status is not success: 300"},
      {"status 302", L"HTTP status is not success: 302"},
      {"status 307 moved", L"HTTP status is not success: 307"},
  };
  for (const Case& c : cases) {
    if (c.fault.empty()) {
      ClearFaultOnHost(Primary(), L"/status/x.txt");
    } else {
      SetFaultOnHost(Primary(), L"/status/x.txt", c.fault);
    }
    std::wstring reason;
    EXPECT_FALSE(DownloadText(Url(L"/status/x.txt"), &reason).has_value()) << c.fault;
    EXPECT_EQ(reason, c.reason) << c.fault;
    reason.clear();
    EXPECT_FALSE(DownloadToFile(Url(L"/status/x.txt"), dir_ / L"x.bin", &reason)) << c.fault;
    EXPECT_EQ(reason, c.reason) << c.fault;
  }
  EXPECT_TRUE(Entries(dir_.path()).empty());
}

TEST_F(HttpClientNet, RedirectsAreFollowedWithinTheAllowedHostsOnly) {
  const std::string fallback = "https://" + ToUtf8(AllowedHosts()[1]);
  PublishOnHost(AllowedHosts()[1], L"/redir/target.txt", "on the fallback host");
  PublishOnHost(Primary(), L"/redir/target.txt", "on the primary host");

  // Every redirect status, absolute and relative locations, and a chain of five.
  struct Followed {
    std::string fault;
    std::wstring body;
  };
  const Followed followed[] = {
      {"redirect 301 " + fallback + "/redir/target.txt", L"on the fallback host"},
      {"redirect 302 " + fallback + "/redir/target.txt", L"on the fallback host"},
      {"redirect 303 //" + ToUtf8(AllowedHosts()[1]) + "/redir/target.txt",
       L"on the fallback host"},
      {"redirect 307 /redir/target.txt", L"on the primary host"},
      {"redirect 308 ../redir/./target.txt", L"on the primary host"},
      {"redirect 302 /redir/chain/2", L"on the fallback host"},  // five redirects in all
  };
  for (int i = 1; i < 5; ++i) {
    SetFaultOnHost(Primary(), L"/redir/chain/" + std::to_wstring(i),
                   "redirect 302 " + std::to_string(i + 1));
  }
  SetFaultOnHost(Primary(), L"/redir/chain/5", "redirect 302 " + fallback + "/redir/target.txt");
  for (const Followed& f : followed) {
    SetFaultOnHost(Primary(), L"/redir/from.txt", f.fault);
    std::wstring reason = L"earlier";
    EXPECT_EQ(DownloadText(Url(L"/redir/from.txt"), &reason), f.body) << f.fault;
    EXPECT_EQ(reason, L"earlier") << f.fault;
  }
  EXPECT_TRUE(DownloadToFile(Url(L"/redir/from.txt"), dir_ / L"pkg.zip", nullptr));
  EXPECT_EQ(ReadBytes(dir_ / L"pkg.zip"), "on the fallback host");

  // Anywhere else, or one redirect too many, fails with a
  // reason of its own; nothing is asked of a place that is not allowed.
  struct Refused {
    std::string fault;
    std::wstring reason;
  };
  const Refused refused[] = {
      {"redirect 302 https://elsewhere.test/redir/target.txt",
       L"Redirect to a URL that is not allowed: Host is not in the allowed list: elsewhere.test"},
      {"redirect 301 http://" + ToUtf8(AllowedHosts()[1]) + "/redir/target.txt",
       L"Redirect to a URL that is not allowed: Only HTTPS URLs are allowed."},
      {"redirect 302 //elsewhere.test/x.zip",
       L"Redirect to a URL that is not allowed: Host is not in the allowed list: elsewhere.test"},
      {"redirect 307 ftp://" + ToUtf8(Primary()) + "/x.zip",
       L"Redirect to a URL that is not allowed: Invalid URL."},
      {"redirect 302 /redir/from.txt", L"Too many redirects."},
      {"redirect 302 /redir/chain/1", L"Too many redirects."},  // six
  };
  for (const Refused& r : refused) {
    SetFaultOnHost(Primary(), L"/redir/from.txt", r.fault);
    const size_t before = TestSiteRequests().size();
    std::wstring reason;
    EXPECT_FALSE(DownloadText(Url(L"/redir/from.txt"), &reason).has_value()) << r.fault;
    EXPECT_EQ(reason, r.reason) << r.fault;
    const size_t asked = TestSiteRequests().size() - before;
    EXPECT_EQ(asked, r.reason == L"Too many redirects." ? 6u : 1u) << r.fault;
    reason.clear();
    EXPECT_FALSE(DownloadToFile(Url(L"/redir/from.txt"), dir_ / L"refused.zip", &reason));
    EXPECT_EQ(reason, r.reason) << r.fault;
  }
  EXPECT_EQ(Entries(dir_.path()), std::vector<std::wstring>{L"pkg.zip"});
}

TEST_F(HttpClientNet, ASuccessWithoutABodyFailsWithoutAReasonAndCreatesNothing) {
  for (const char* fault : {"status 200", "status 204"}) {
    SetFaultOnHost(Primary(), L"/empty/x.bin", fault);
    std::wstring reason = L"earlier";
    EXPECT_FALSE(HttpGet(Url(L"/empty/x.bin"), &reason).has_value()) << fault;
    EXPECT_FALSE(DownloadText(Url(L"/empty/x.bin"), &reason).has_value()) << fault;
    EXPECT_FALSE(DownloadToFile(Url(L"/empty/x.bin"), dir_ / L"new\\x.bin", &reason)) << fault;
    EXPECT_EQ(reason, L"earlier") << fault;
  }
  EXPECT_TRUE(Entries(dir_.path()).empty());

  // A body that is only the byte order mark is a present, empty text.
  PublishOnHost(Primary(), L"/empty/bom.txt", "\xEF\xBB\xBF");
  EXPECT_EQ(DownloadText(Url(L"/empty/bom.txt"), nullptr), L"");
}

TEST_F(HttpClientNet, ABodyCutShortIsAFailureAndLeavesNoFile) {
  PublishOnHost(Primary(), L"/cut/pkg.zip", Pattern(300000));
  WriteBytes(dir_ / L"pkg.zip", "previous package");
  for (const char* fault : {"truncate 1000", "truncate 0"}) {
    SetFaultOnHost(Primary(), L"/cut/pkg.zip", fault);
    std::wstring reason;
    EXPECT_FALSE(DownloadText(Url(L"/cut/pkg.zip"), &reason).has_value()) << fault;
    EXPECT_EQ(reason, L"Response body is shorter than its declared length.") << fault;
    reason.clear();
    EXPECT_FALSE(DownloadToFile(Url(L"/cut/pkg.zip"), dir_ / L"pkg.zip", &reason)) << fault;
    EXPECT_EQ(reason, L"Response body is shorter than its declared length.") << fault;
  }
  EXPECT_EQ(ReadBytes(dir_ / L"pkg.zip"), "previous package");
  EXPECT_EQ(Entries(dir_.path()), std::vector<std::wstring>{L"pkg.zip"});
}

TEST_F(HttpClientNet, ConnectionFailuresNameTheRequestStep) {
  SetFaultOnHost(Primary(), L"/fail/closed.txt", "close");
  const std::wstring urls[] = {
      Url(L"/fail/closed.txt"),                           // closed without a response
      L"https://nowhere." + Primary() + L"/pkglink.txt",  // unknown host
      Url(L"/pkglink.txt", TestSitePort(L"CLOSED")),      // nothing listens
  };
  for (const std::wstring& url : urls) {
    std::wstring reason;
    EXPECT_FALSE(DownloadToFile(url, dir_ / L"x.bin", &reason)) << url;
    EXPECT_TRUE(IsWinHttpRequestFailure(reason)) << url << L" " << reason;
  }
  std::wstring reason;
  EXPECT_FALSE(DownloadText(L"https://nowhere." + Primary() + L"/x", &reason));
  EXPECT_EQ(reason, L"HTTP request failed. WinHTTP error: 12007");
  EXPECT_FALSE(DownloadText(Url(L"/x", TestSitePort(L"CLOSED")), &reason));
  EXPECT_EQ(reason, L"HTTP request failed. WinHTTP error: 12029");
  EXPECT_TRUE(Entries(dir_.path()).empty());
}

TEST_F(HttpClientNet, CertificatesAreCheckedAndTheTrustedOneAccepted) {
  PublishOnHost(Primary(), L"/tls/link.txt", "trusted");
  EXPECT_EQ(DownloadText(Url(L"/tls/link.txt"), nullptr), L"trusted");
  for (const wchar_t* port : {L"UNTRUSTED", L"WRONG_NAME", L"EXPIRED"}) {
    std::wstring reason;
    EXPECT_FALSE(DownloadText(Url(L"/tls/link.txt", TestSitePort(port)), &reason).has_value())
        << port;
    EXPECT_TRUE(IsWinHttpRequestFailure(reason)) << port << L" " << reason;
    EXPECT_FALSE(DownloadToFile(Url(L"/tls/link.txt", TestSitePort(port)), dir_ / L"x", nullptr));
  }
  EXPECT_TRUE(Entries(dir_.path()).empty());
}

TEST_F(HttpClientNet, DownloadToFileCreatesFoldersAndReplacesOnlyAfterSuccess) {
  PublishOnHost(Primary(), L"/pkg/new.zip", "new package");
  std::wstring reason = L"earlier";
  ASSERT_TRUE(DownloadToFile(Url(L"/pkg/new.zip"), dir_ / L"a\\b\\c\\package.zip", &reason));
  EXPECT_EQ(ReadBytes(dir_ / L"a\\b\\c\\package.zip"), "new package");
  EXPECT_EQ(Entries(dir_ / L"a\\b\\c"), std::vector<std::wstring>{L"package.zip"});

  WriteBytes(dir_ / L"package.zip", "a longer previous package");
  ASSERT_TRUE(DownloadToFile(Url(L"/pkg/new.zip"), dir_ / L"package.zip", &reason));
  EXPECT_EQ(ReadBytes(dir_ / L"package.zip"), "new package");
  EXPECT_EQ(reason, L"earlier");

  // A destination that names a folder.
  ASSERT_TRUE(EnsureDirectory(dir_ / L"folder.zip\\inside"));
  EXPECT_FALSE(DownloadToFile(Url(L"/pkg/new.zip"), dir_ / L"folder.zip", &reason));
  EXPECT_EQ(reason, L"Cannot create destination file.");
  EXPECT_TRUE(IsDirectory(dir_ / L"folder.zip\\inside"));

  // A destination that another program holds open without sharing stays as it was.
  WriteBytes(dir_ / L"locked.zip", "in use");
  HANDLE locked = CreateFileW((dir_ / L"locked.zip").c_str(), GENERIC_READ, 0, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(locked, INVALID_HANDLE_VALUE);
  reason.clear();
  EXPECT_FALSE(DownloadToFile(Url(L"/pkg/new.zip"), dir_ / L"locked.zip", &reason));
  EXPECT_EQ(reason, L"Cannot create destination file.");
  CloseHandle(locked);
  EXPECT_EQ(ReadBytes(dir_ / L"locked.zip"), "in use");

  // A failed transfer leaves an existing destination untouched.
  SetFaultOnHost(Primary(), L"/pkg/broken.zip", "status 500");
  EXPECT_FALSE(DownloadToFile(Url(L"/pkg/broken.zip"), dir_ / L"package.zip", &reason));
  EXPECT_EQ(ReadBytes(dir_ / L"package.zip"), "new package");

  EXPECT_EQ(Entries(dir_.path()),
            (std::vector<std::wstring>{L"a", L"folder.zip", L"locked.zip", L"package.zip"}));
}
