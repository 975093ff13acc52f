#include "config/agent_config.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <memory>

#include "log/setup_log.h"
#include "testing/file_bytes.h"
#include "testing/log_lines.h"
#include "testing/temp_dir.h"
#include "util/path.h"

namespace {

using Lines = std::vector<std::wstring>;

const char kBom[] = "\xEF\xBB\xBF";

const wchar_t kSaved[] =
    L"[INFO] Key/Secret were saved to appsettings.json under FarmConfig.ApiKey and "
    L"FarmConfig.ApiSecret.";
const wchar_t kMerged[] =
    L"[INFO] appsettings.json merged: new keys added, removed keys deleted, existing values "
    L"preserved; Setup.ForceReplace paths were applied and Setup metadata was not written to "
    L"client config.";
const wchar_t kLoaded[] =
    L"[INFO] Config force replace path loaded from package appsettings.json: ";
const wchar_t kIgnored[] = L"[WARN] Ignoring invalid force path under Setup metadata: ";

// An installation folder, a package payload root and a log file of the test's own.
class AgentConfigTest : public ::testing::Test {
 protected:
  AgentConfigTest()
      : install(dir / L"Orvaner"), payload(dir / L"extracted\\agent"), logPath(dir / L"setup.log") {
    EnsureDirectory(install);
    EnsureDirectory(payload);
    log = std::make_unique<SetupLog>(logPath);
  }

  std::wstring Installed() const { return install + L"\\appsettings.json"; }
  Lines Logged() const { return LoggedLines(logPath); }

  TestFolder dir;
  std::wstring install;
  std::wstring payload;
  std::wstring logPath;
  std::unique_ptr<SetupLog> log;
};

// Holds a file open without sharing deletion, so that it cannot be replaced meanwhile.
class ReplaceBlocker {
 public:
  explicit ReplaceBlocker(const std::wstring& path,
                          DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE)
      : handle_(CreateFileW(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr)) {
    EXPECT_NE(handle_, INVALID_HANDLE_VALUE);
  }
  ~ReplaceBlocker() { CloseHandle(handle_); }
  ReplaceBlocker(const ReplaceBlocker&) = delete;
  ReplaceBlocker& operator=(const ReplaceBlocker&) = delete;

 private:
  HANDLE handle_;
};

}  // namespace

TEST_F(AgentConfigTest, FindConfigTemplatePrefersAppsettingsThenTheTemplateName) {
  EXPECT_FALSE(FindConfigTemplate(payload).has_value());
  EnsureDirectory(payload + L"\\appsettings.json");  // a folder is no template
  EXPECT_FALSE(FindConfigTemplate(payload).has_value());
  WriteBytes(payload + L"\\appsettings.template.json", "{}");
  EXPECT_EQ(FindConfigTemplate(payload), payload + L"\\appsettings.template.json");
  RemoveTree(payload + L"\\appsettings.json");
  WriteBytes(payload + L"\\appsettings.json", "{}");
  EXPECT_EQ(FindConfigTemplate(payload), payload + L"\\appsettings.json");
  EXPECT_TRUE(Logged().empty());
}

TEST_F(AgentConfigTest, LoadForcePathsTrimsSplitsAndReportsEachEntry) {
  const std::optional<JsonValue> doc = ParseJson(
      L"{\"setup\": {\"forceReplace\": [\" FarmConfig.ApiKey\\t\", \"Setup.ForceReplace\","
      L" \"setup.Anything\", \"SETUP.Anything\", \"\", 5, \"...\", \" \", \"Agent..Url.\","
      L" {\"x\": \"y\"}, \"farmconfig.apisecret\"]}}",
      nullptr);
  ASSERT_TRUE(doc.has_value());
  EXPECT_EQ(LoadForcePaths(*doc, *log), (std::vector<JsonPath>{{L"FarmConfig", L"ApiKey"},
                                                               {L"SETUP", L"Anything"},
                                                               {L"Agent", L"Url"},
                                                               {L"farmconfig", L"apisecret"}}));
  EXPECT_EQ(Logged(), (Lines{
                          kLoaded + std::wstring(L" FarmConfig.ApiKey\t"),
                          kIgnored + std::wstring(L"Setup.ForceReplace"),
                          kIgnored + std::wstring(L"setup.Anything"),
                          kLoaded + std::wstring(L"SETUP.Anything"),
                          kLoaded + std::wstring(L"Agent..Url."),
                          kLoaded + std::wstring(L"farmconfig.apisecret"),
                      }));
}

TEST_F(AgentConfigTest, LoadForcePathsIgnoresAnythingButAnArrayOfStrings) {
  const wchar_t* documents[] = {
      L"{\"Setup\": {\"ForceReplace\": \"FarmConfig.ApiKey\"}}",
      L"{\"Setup\": {\"ForceReplace\": {\"FarmConfig\": \"ApiKey\"}}}",
      L"{\"Setup\": [\"FarmConfig.ApiKey\"]}",
      L"{\"FarmConfig\": {\"ApiKey\": \"k\"}}",
      L"[\"FarmConfig.ApiKey\"]",
  };
  for (const wchar_t* text : documents) {
    const std::optional<JsonValue> doc = ParseJson(text, nullptr);
    ASSERT_TRUE(doc.has_value());
    EXPECT_TRUE(LoadForcePaths(*doc, *log).empty());
  }
  EXPECT_TRUE(Logged().empty());
}

TEST_F(AgentConfigTest, WithoutSetupMetadataRemovesOneRootMemberOnly) {
  const std::optional<JsonValue> doc = ParseJson(
      L"{\"SETUP\": 1, \"Setup\": {\"ForceReplace\": []}, \"A\": {\"Setup\": 2}}", nullptr);
  ASSERT_TRUE(doc.has_value());
  EXPECT_EQ(WriteJson(WithoutSetupMetadata(*doc), 2),
            L"{\n  \"A\": {\n    \"Setup\": 2\n  },\n  \"SETUP\": 1\n}\n");
  EXPECT_EQ(WriteJson(WithoutSetupMetadata(WithoutSetupMetadata(*doc)), 2),
            L"{\n  \"A\": {\n    \"Setup\": 2\n  }\n}\n");
}

TEST_F(AgentConfigTest, CreateWithoutAnyConfigWritesOnlyTheKeyAndSecret) {
  ASSERT_TRUE(CreateAgentConfig(install, L"key-\u00e9\"1", L"secret\\2", *log));
  EXPECT_EQ(ReadBytes(Installed()), std::string(kBom) +
                                        "{\n"
                                        "  \"FarmConfig\": {\n"
                                        "    \"ApiKey\": \"key-\xC3\xA9\\\"1\",\n"
                                        "    \"ApiSecret\": \"secret\\\\2\"\n"
                                        "  }\n"
                                        "}\n");
  EXPECT_EQ(Logged(), (Lines{kSaved}));
}

TEST_F(AgentConfigTest, CreateKeepsOtherSettingsDropsRootSetupAndSortsTheFile) {
  WriteBytes(Installed(),
             "\xEF\xBB\xBF{\r\n"
             "    \"Setup\": { \"ForceReplace\": [ \"FarmConfig.ApiKey\" ] },\r\n"
             "    \"Logging\": { \"Setup\": \"nested stays\", \"Level\": \"Warning\" },\r\n"
             "    \"FarmConfig\": { \"Url\": \"https://farm\", \"ApiKey\": \"placeholder\" },\r\n"
             "    \"Interval\": 30.0\r\n"
             "}\r\n");
  WriteBytes(install + L"\\appsettings.template.json", "{\"Unused\": true}");
  ASSERT_TRUE(CreateAgentConfig(install, L"the-key", L"the-secret", *log));
  EXPECT_EQ(ReadBytes(Installed()), std::string(kBom) +
                                        "{\n"
                                        "  \"FarmConfig\": {\n"
                                        "    \"ApiKey\": \"the-key\",\n"
                                        "    \"ApiSecret\": \"the-secret\",\n"
                                        "    \"Url\": \"https://farm\"\n"
                                        "  },\n"
                                        "  \"Interval\": 30,\n"
                                        "  \"Logging\": {\n"
                                        "    \"Level\": \"Warning\",\n"
                                        "    \"Setup\": \"nested stays\"\n"
                                        "  }\n"
                                        "}\n");
  EXPECT_EQ(Logged(), (Lines{kSaved}));
}

TEST_F(AgentConfigTest, CreateStartsFromTheTemplateWhenAppsettingsIsMissing) {
  WriteBytes(install + L"\\appsettings.template.json",
             "{\"setup\": {\"ForceReplace\": []}, \"farmConfig\": {\"ApiKey\": \"\"},"
             " \"FarmConfig\": [\"not an object\"], \"Agent\": {\"Name\": \"x\"}}");
  ASSERT_TRUE(CreateAgentConfig(install, L"k", L"s", *log));
  EXPECT_EQ(ReadBytes(Installed()), std::string(kBom) +
                                        "{\n"
                                        "  \"Agent\": {\n"
                                        "    \"Name\": \"x\"\n"
                                        "  },\n"
                                        "  \"FarmConfig\": {\n"
                                        "    \"ApiKey\": \"k\",\n"
                                        "    \"ApiSecret\": \"s\"\n"
                                        "  },\n"
                                        "  \"farmConfig\": {\n"
                                        "    \"ApiKey\": \"\"\n"
                                        "  }\n"
                                        "}\n");
  EXPECT_EQ(Logged(),
            (Lines{L"[WARN] appsettings.json was not found. Creating it from package config "
                   L"template.",
                   kSaved}));
}

TEST_F(AgentConfigTest, CreateReplacesARootThatIsNoObject) {
  WriteBytes(Installed(), "[1, 2, 3]");
  ASSERT_TRUE(CreateAgentConfig(install, L"k", L"s", *log));
  EXPECT_EQ(ReadBytes(Installed()), std::string(kBom) +
                                        "{\n  \"FarmConfig\": {\n    \"ApiKey\": \"k\",\n"
                                        "    \"ApiSecret\": \"s\"\n  }\n}\n");
}

TEST_F(AgentConfigTest, CreateWithUnparsableConfigFailsAndTouchesNothing) {
  const std::string broken = "{\"FarmConfig\": {\"ApiKey\": \"x\"} \"Other\": 1}";
  WriteBytes(Installed(), broken);
  EXPECT_FALSE(CreateAgentConfig(install, L"k", L"s", *log));
  EXPECT_EQ(ReadBytes(Installed()), broken);
  EXPECT_EQ(Logged(), (Lines{L"[ERROR] Cannot parse package appsettings config: Expected ',' or "
                             L"'}' in object."}));
}

TEST_F(AgentConfigTest, CreateWithUnparsableTemplateFailsAndWritesNothing) {
  WriteBytes(install + L"\\appsettings.template.json", "{\"a\": tru}");
  EXPECT_FALSE(CreateAgentConfig(install, L"k", L"s", *log));
  EXPECT_FALSE(IsRegularFile(Installed()));
  EXPECT_EQ(Logged(),
            (Lines{L"[WARN] appsettings.json was not found. Creating it from package config "
                   L"template.",
                   L"[ERROR] Cannot parse package appsettings config: Invalid JSON value."}));
}

TEST_F(AgentConfigTest, CreateWhoseWriteFailsKeepsTheInstalledFile) {
  const std::string original = "{\"FarmConfig\": {\"ApiKey\": \"old\"}}";
  WriteBytes(Installed(), original);
  {
    ReplaceBlocker blocker(Installed());
    EXPECT_FALSE(CreateAgentConfig(install, L"new-key", L"new-secret", *log));
  }
  EXPECT_EQ(ReadBytes(Installed()), original);

  EnsureDirectory(install + L"\\other\\appsettings.json");  // a folder where the file belongs
  EXPECT_FALSE(CreateAgentConfig(install + L"\\other", L"new-key", L"new-secret", *log));
  EXPECT_TRUE(IsDirectory(install + L"\\other\\appsettings.json"));

  EXPECT_EQ(Logged(), (Lines{L"[ERROR] Cannot write appsettings.json.",
                             L"[ERROR] Cannot write appsettings.json."}));
  const std::string logBytes = ReadBytes(logPath);
  EXPECT_EQ(logBytes.find("new-key"), std::string::npos);
  EXPECT_EQ(logBytes.find("new-secret"), std::string::npos);
}

TEST_F(AgentConfigTest, MergeKeepsInstalledValuesAndAppliesForcePaths) {
  WriteBytes(Installed(), std::string(kBom) +
                              "{\"FarmConfig\": {\"ApiKey\": \"real-key\", \"ApiSecret\": "
                              "\"real-secret\", \"Url\": \"https://old\"},"
                              " \"Hosts\": [\"h1\", \"h2\"], \"Removed\": 1,"
                              " \"Setup\": {\"Old\": true}, \"Level\": \"Debug\"}");
  WriteBytes(payload + L"\\appsettings.json",
             "{\"Setup\": {\"ForceReplace\": [\"farmconfig.URL\", \" Level \"]},"
             " \"SETUP\": {\"x\": 1},"
             " \"FarmConfig\": {\"ApiKey\": \"PLACEHOLDER\", \"ApiSecret\": \"PLACEHOLDER\","
             " \"Url\": \"https://new\", \"Timeout\": 30},"
             " \"Hosts\": [\"n1\"], \"Level\": \"Information\", \"Added\": {\"On\": true}}");
  ASSERT_TRUE(MergeAgentConfig(install, payload, *log));
  EXPECT_EQ(ReadBytes(Installed()), std::string(kBom) +
                                        "{\n"
                                        "  \"Added\": {\n"
                                        "    \"On\": true\n"
                                        "  },\n"
                                        "  \"FarmConfig\": {\n"
                                        "    \"ApiKey\": \"real-key\",\n"
                                        "    \"ApiSecret\": \"real-secret\",\n"
                                        "    \"Timeout\": 30,\n"
                                        "    \"Url\": \"https://new\"\n"
                                        "  },\n"
                                        "  \"Hosts\": [\n"
                                        "    \"h1\",\n"
                                        "    \"h2\"\n"
                                        "  ],\n"
                                        "  \"Level\": \"Information\"\n"
                                        "}\n");
  EXPECT_EQ(Logged(), (Lines{kLoaded + std::wstring(L"farmconfig.URL"),
                             kLoaded + std::wstring(L" Level "), kMerged}));
}

TEST_F(AgentConfigTest, MergeTakesTheTemplateKeyWhenForced) {
  WriteBytes(Installed(), "{\"FarmConfig\": {\"ApiKey\": \"real-key\"}}");
  WriteBytes(payload + L"\\appsettings.template.json",
             "{\"Setup\": {\"ForceReplace\": [\"FarmConfig.ApiKey\"]},"
             " \"FarmConfig\": {\"ApiKey\": \"PLACEHOLDER\"}}");
  ASSERT_TRUE(MergeAgentConfig(install, payload, *log));
  EXPECT_EQ(
      ReadBytes(Installed()),
      std::string(kBom) + "{\n  \"FarmConfig\": {\n    \"ApiKey\": \"PLACEHOLDER\"\n  }\n}\n");
  EXPECT_EQ(Logged(), (Lines{kLoaded + std::wstring(L"FarmConfig.ApiKey"), kMerged}));
}

TEST_F(AgentConfigTest, MergeWithoutInstalledFileWritesTheTemplateWithoutRootSetup) {
  WriteBytes(payload + L"\\appsettings.json",
             "{\"Setup\": {\"ForceReplace\": [\"A.B\", \"Setup.X\"]}, \"SETUP\": 1,"
             " \"A\": {\"B\": 2, \"Setup\": 3}}");
  ASSERT_TRUE(MergeAgentConfig(install, payload, *log));
  EXPECT_EQ(ReadBytes(Installed()), std::string(kBom) +
                                        "{\n"
                                        "  \"A\": {\n"
                                        "    \"B\": 2,\n"
                                        "    \"Setup\": 3\n"
                                        "  },\n"
                                        "  \"SETUP\": 1\n"
                                        "}\n");
  EXPECT_EQ(Logged(), (Lines{kLoaded + std::wstring(L"A.B"), kIgnored + std::wstring(L"Setup.X"),
                             L"[WARN] Current appsettings.json not found. Creating it from package "
                             L"template without installer-only Setup metadata."}));
}

TEST_F(AgentConfigTest, MergeWithoutInstalledFileReportsAFailedWriteByItsResultOnly) {
  WriteBytes(payload + L"\\appsettings.json", "{\"A\": 1}");
  EnsureDirectory(Installed());  // unreadable as a file, and nothing can replace it
  EXPECT_FALSE(MergeAgentConfig(install, payload, *log));
  EXPECT_TRUE(IsDirectory(Installed()));
  EXPECT_EQ(Logged(), (Lines{L"[WARN] Current appsettings.json not found. Creating it from "
                             L"package template without installer-only Setup metadata."}));
}

TEST_F(AgentConfigTest, MergeFailuresBeforeTheWriteLeaveTheInstalledFileAlone) {
  const std::string installed = "{\"FarmConfig\": {\"ApiKey\": \"real-key\"}}";
  WriteBytes(Installed(), installed);

  EXPECT_FALSE(MergeAgentConfig(install, payload, *log));  // no template at all

  WriteBytes(payload + L"\\appsettings.json", "{\"A\": 1}");
  {
    ReplaceBlocker unreadable(payload + L"\\appsettings.json", 0);
    EXPECT_FALSE(MergeAgentConfig(install, payload, *log));
  }

  WriteBytes(payload + L"\\appsettings.json", "{\"A\": \"\\q\"}");
  EXPECT_FALSE(MergeAgentConfig(install, payload, *log));

  WriteBytes(payload + L"\\appsettings.json",
             "{\"Setup\": {\"ForceReplace\": [\"FarmConfig.ApiKey\"]}, \"A\": 1}");
  WriteBytes(Installed(), "{\"FarmConfig\": ");
  EXPECT_FALSE(MergeAgentConfig(install, payload, *log));
  EXPECT_EQ(ReadBytes(Installed()), "{\"FarmConfig\": ");

  WriteBytes(Installed(), installed);
  {
    ReplaceBlocker blocker(Installed());
    EXPECT_FALSE(MergeAgentConfig(install, payload, *log));
  }
  EXPECT_EQ(ReadBytes(Installed()), installed);

  EXPECT_EQ(Logged(), (Lines{
                          L"[ERROR] No new config template was found in package.",
                          L"[ERROR] Cannot read new config template.",
                          L"[ERROR] Cannot parse new config template: Invalid escape sequence.",
                          kLoaded + std::wstring(L"FarmConfig.ApiKey"),
                          L"[ERROR] Cannot parse current appsettings.json: Unexpected end of "
                          L"JSON.",
                          kLoaded + std::wstring(L"FarmConfig.ApiKey"),
                          L"[ERROR] Cannot write merged appsettings.json.",
                      }));
}

// The update works the merge out before the service is stopped: preparing writes nothing, so
// a broken file stops the update with the installation untouched, and the write comes later.
TEST_F(AgentConfigTest, PreparingTheMergeWritesNothingAndTheWriteComesApart) {
  const std::string installed = "{\"FarmConfig\": {\"ApiKey\": \"real-key\"}, \"Old\": 1}";
  WriteBytes(Installed(), installed);
  WriteBytes(payload + L"\\appsettings.json",
             "{\"Setup\": {\"ForceReplace\": [\"Level\"]}, \"FarmConfig\": {\"ApiKey\": \"x\"},"
             " \"Level\": 2}");
  const std::optional<MergedAgentConfig> merged = PrepareAgentConfigMerge(install, payload, *log);
  ASSERT_TRUE(merged.has_value());
  EXPECT_FALSE(merged->fromTemplate);
  EXPECT_EQ(ReadBytes(Installed()), installed);
  EXPECT_EQ(Logged(), (Lines{kLoaded + std::wstring(L"Level")}));

  ASSERT_TRUE(WriteMergedAgentConfig(install, *merged, *log));
  EXPECT_EQ(ReadBytes(Installed()), std::string(kBom) +
                                        "{\n  \"FarmConfig\": {\n    \"ApiKey\": \"real-key\"\n"
                                        "  },\n  \"Level\": 2\n}\n");
  EXPECT_EQ(Logged(), (Lines{kLoaded + std::wstring(L"Level"), kMerged}));

  // No installed file: the template's text, and the file is created only by the write.
  const std::wstring other = dir / L"other";
  EnsureDirectory(other);
  const std::optional<MergedAgentConfig> fresh = PrepareAgentConfigMerge(other, payload, *log);
  ASSERT_TRUE(fresh.has_value());
  EXPECT_TRUE(fresh->fromTemplate);
  EXPECT_FALSE(IsRegularFile(other + L"\\appsettings.json"));
  ASSERT_TRUE(WriteMergedAgentConfig(other, *fresh, *log));
  EXPECT_EQ(ReadBytes(other + L"\\appsettings.json"),
            std::string(kBom) +
                "{\n  \"FarmConfig\": {\n    \"ApiKey\": \"x\"\n  },\n"
                "  \"Level\": 2\n}\n");

  // Installed files that do not parse: garbage bytes, and nesting far beyond the limit.
  for (const std::string& broken :
       {std::string("\x00\xFF\xFEgarbage\x01", 11), std::string(1000000, '[')}) {
    WriteBytes(Installed(), broken);
    EXPECT_FALSE(PrepareAgentConfigMerge(install, payload, *log).has_value());
    EXPECT_EQ(ReadBytes(Installed()), broken);
  }
  const Lines lines = Logged();
  ASSERT_EQ(lines.size(), 8u);
  EXPECT_EQ(lines[2], kLoaded + std::wstring(L"Level"));
  EXPECT_EQ(lines[3],
            L"[WARN] Current appsettings.json not found. Creating it from package "
            L"template without installer-only Setup metadata.");
  EXPECT_EQ(lines[5].rfind(L"[ERROR] Cannot parse current appsettings.json: ", 0), 0u) << lines[5];
  EXPECT_EQ(lines[7], L"[ERROR] Cannot parse current appsettings.json: JSON nesting is too deep.");
}
