// The console: UTF-8 in and out, whatever characters a line holds.
#pragma once

#include <optional>
#include <string>

// Sets the console output code page to UTF-8 and switches standard input and output to
// UTF-8 wide text, so no character is lost or dropped.
void PrepareConsole();

// Writes the line and a line end to standard output and flushes it; failures are ignored.
void WriteConsoleLine(const std::wstring& line);

// Writes the text with no line end and flushes it.
void WriteConsoleText(const std::wstring& text);

// Reads one line from standard input (without its line end); absent at end of input.
std::optional<std::wstring> ReadConsoleLine();
