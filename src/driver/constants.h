// Names and paths that several subsystems share.
#pragma once

inline constexpr wchar_t kServiceName[] = L"OrvaneCloudMonitorAgent";
inline constexpr wchar_t kServiceDisplayName[] = L"Orvane Cloud Monitor Agent";
inline constexpr wchar_t kAgentExecutableName[] = L"OrvaneCloudMonitorAgent.exe";
inline constexpr wchar_t kDefaultInstallFolder[] = L"C:\\Orvaner";
inline constexpr wchar_t kSetupExecutableName[] = L"Orvane.Setup.exe";
inline constexpr wchar_t kUpdaterExecutableName[] = L"Updater.exe";
inline constexpr wchar_t kConfigFileName[] = L"appsettings.json";
inline constexpr wchar_t kConfigTemplateFileName[] = L"appsettings.template.json";
inline constexpr wchar_t kLocalLinkFileName[] = L"pkglink.txt";
