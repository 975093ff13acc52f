// Administrator rights: the membership test and the elevated relaunch through the shell.
#pragma once

class SetupLog;

// True when the process token is a member of the built-in Administrators group.
bool IsRunningAsAdministrator();

// Asks the shell to start this executable elevated ("runas"); logs the outcome.
bool RelaunchElevated(SetupLog& log);
