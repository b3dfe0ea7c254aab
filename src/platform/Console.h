#pragma once
// Text for the person at the console, beside the event log: usage, version
// and the reasons of a failed start. Safe from any thread; a process without
// a console (a Windows service) loses the text silently.

#include <string>

namespace quorvel::platform {

// Writes the bytes as they are to standard output / standard error.
void WriteOutput(const std::string& text);
void WriteErrorOutput(const std::string& text);

// One line "quorvel: <text>" on standard error: what a person starting the
// program needs to know (where it listens, why it could not start). The
// text is plain English ASCII, so that it reads the same in every locale
// and code page; names the user gave (paths) pass through as their bytes.
void ReportToConsole(const std::string& text);

}  // namespace quorvel::platform
