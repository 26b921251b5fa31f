#include "common/console.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

void ConsoleWrite(const char* text, size_t length) {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, static_cast<DWORD>(length), &written,
              nullptr);
}

void ConsolePrint(const char* text) { ConsoleWrite(text, strlen(text)); }

void ConsolePrintf(const char* format, ...) {
    char text[256];
    va_list args;
    va_start(args, format);
    int length = vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (length < 0) return;
    ConsoleWrite(text, static_cast<size_t>(length) < sizeof text ? length : sizeof text - 1);
}

void PauseForInput(void) {
    // A direct read, not getchar(): a thread stopped while it waits here
    // must not take the C runtime's stdin lock with it.
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    char c = 0;
    DWORD got = 0;
    if (!ReadFile(input, &c, 1, &got, nullptr) || got == 0) return;
    // A Windows console ends a line with CR LF; take both as one character,
    // as the C runtime's text mode does, so that the LF does not end the
    // next pause at once.
    if (c == '\r') ReadFile(input, &c, 1, &got, nullptr);
}
