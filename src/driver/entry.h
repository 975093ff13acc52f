// The life of the process, from the start line to the exit code.
#pragma once

#include <exception>

class SetupLog;

// Start-up after the log exists: administrator test (relaunching elevated without it), the
// run lock, then the update or installation flow inside the handler for escaping exceptions.
int RunSetup(SetupLog& log);

// Logs an exception that escaped a flow as "Unhandled exception: ..." and gives 99.
int ReportUnhandledException(SetupLog& log, std::exception_ptr error);
