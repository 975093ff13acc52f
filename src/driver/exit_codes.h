// Every process exit code the program returns, in one place. The same number can mean
// different things in the two flows; the log tells which flow ran.
#pragma once

namespace exit_code {

// Entry point.
inline constexpr int kElevationRequested = 0;
inline constexpr int kElevationRefused = 1;
inline constexpr int kUnhandledException = 99;

// Both flows.
inline constexpr int kSuccess = 0;
inline constexpr int kNoPackageLink = 3;
inline constexpr int kPreparationFailed = 4;

// First-time installation.
inline constexpr int kInstallMissingCredentials = 2;
inline constexpr int kInstallCopyFailed = 5;
inline constexpr int kInstallConfigFailed = 6;
inline constexpr int kInstallLinkFileFailed = 7;
inline constexpr int kInstallAgentMissing = 9;
inline constexpr int kInstallServiceCreateFailed = 10;
inline constexpr int kInstallServiceStartFailed = 11;
inline constexpr int kInstallLegacyCleanupFailed = 20;

// Update.
inline constexpr int kUpdateServiceStopFailed = 5;
inline constexpr int kUpdateDeployFailed = 6;
inline constexpr int kUpdateConfigMergeFailed = 7;
inline constexpr int kUpdateLinkFileFailed = 8;
inline constexpr int kUpdateServiceStartFailed = 10;
inline constexpr int kUpdateLegacyCleanupFailed = 20;

}  // namespace exit_code
