// Console output and the pause, shared by the server and the program flow.
//
// Every print is one direct write to the standard output handle, with no
// C stdio in between: nothing is buffered, so a text is on the console
// before the program goes on, and a thread stopped halfway through a print
// leaves no stream lock behind for the next one to wait on.
#pragma once

#include <cstddef>

#include "platform/format.h"

// Writes length bytes of text to standard output at once; errors are ignored.
void ConsoleWrite(const char* text, size_t length);

// Writes a zero-terminated text to standard output at once.
void ConsolePrint(const char* text);

// Formats like printf (up to 255 characters) and writes the result at once.
void ConsolePrintf(const char* format, ...) PLATFORM_PRINTF_FORMAT(1, 2);

// Reads one character from standard input and ignores it. On a terminal
// this waits for the end of a line; the rest of the line stays for the
// next read; at the end of input it returns at once.
void PauseForInput(void);
