// The log file of dorqin-serve.exe: every line the relay printed, verbatim,
// and every note, each behind the local time it began at, rotated by size
// (the file, then .1 and .2 before it; the oldest goes). A service has no
// console, and the Event Log is kept for start, stop and failures.
#pragma once

#include <cstddef>
#include <string>

// A megabyte a file: a day of a client coming and going every minute.
constexpr unsigned long long kLogBytes = 1 << 20;

// The default: %ProgramData%\dorqin-relay\dorqin-serve.log where that
// folder is there or can be made, else beside the program.
std::string DefaultLogPath();

// Opens (appends to) the log; false, with the system's error, when it
// cannot. maxBytes bounds each file.
bool LogOpen(const std::string& path, unsigned long long maxBytes, unsigned long* error);

// The relay's text as it comes: a line goes in once it has ended (its
// time is when it began), so that a note never cuts one in two. Both do
// nothing without an open log.
void LogWriteOut(const char* text, size_t length);
// One note, a whole line (its line end included).
void LogWriteNote(const char* line, size_t length);
