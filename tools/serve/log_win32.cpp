#include "tools/serve/log_win32.h"

#include "platform/platform.h"

#include <cstdio>

namespace {

struct LogRecord {
    HANDLE file = INVALID_HANDLE_VALUE;
    std::string path;
    unsigned long long maxBytes = kLogBytes;
    unsigned long long size = 0;
    std::string partial;  // a relay line that has not ended yet
    char partialStamp[32] = "";
};

LogRecord Log;

// Shared for reading, writing and deleting: a user may look at the log
// while it grows, and the next rotation still renames it.
HANDLE OpenForAppending(const std::string& path) {
    return CreateFileA(path.c_str(), FILE_APPEND_DATA,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

void Stamp(char (&stamp)[32]) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    snprintf(stamp, sizeof stamp, "%04u-%02u-%02u %02u:%02u:%02u.%03u ", now.wYear, now.wMonth,
             now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
}

// The file becomes .1, .1 becomes .2, and writing goes on in a new file.
void Rotate() {
    CloseHandle(Log.file);
    const std::string first = Log.path + ".1", second = Log.path + ".2";
    MoveFileExA(first.c_str(), second.c_str(), MOVEFILE_REPLACE_EXISTING);
    MoveFileExA(Log.path.c_str(), first.c_str(), MOVEFILE_REPLACE_EXISTING);
    Log.file = OpenForAppending(Log.path);
    Log.size = 0;
}

// One line, behind its time, with CR LF for Notepad.
void WriteLine(const char* stamp, const char* text, size_t length) {
    if (Log.file == INVALID_HANDLE_VALUE) return;
    std::string line(stamp);
    line.append(text, length);
    line += "\r\n";
    if (Log.size > 0 && Log.size + line.size() > Log.maxBytes) Rotate();
    if (Log.file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(Log.file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    Log.size += written;
}

}  // namespace

std::string DefaultLogPath() {
    char data[MAX_PATH];
    const DWORD n = GetEnvironmentVariableA("ProgramData", data, sizeof data);
    if (n > 0 && n < sizeof data) {
        const std::string folder = std::string(data) + "\\dorqin-relay";
        if (CreateDirectoryA(folder.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS) {
            return folder + "\\dorqin-serve.log";
        }
    }
    char self[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, self, sizeof self);
    std::string path(self, length < sizeof self ? length : 0);
    return path.substr(0, path.find_last_of("\\/") + 1) + "dorqin-serve.log";
}

bool LogOpen(const std::string& path, unsigned long long maxBytes, unsigned long* error) {
    Log.path = path;
    Log.maxBytes = maxBytes;
    Log.file = OpenForAppending(path);
    if (Log.file == INVALID_HANDLE_VALUE) {
        *error = GetLastError();
        return false;
    }
    LARGE_INTEGER size;
    Log.size = GetFileSizeEx(Log.file, &size) ? static_cast<unsigned long long>(size.QuadPart) : 0;
    return true;
}

void LogWriteOut(const char* text, size_t length) {
    const char* end = text + length;
    while (text < end) {
        if (Log.partial.empty() && Log.partialStamp[0] == '\0') Stamp(Log.partialStamp);
        const char* lineEnd = text;
        while (lineEnd < end && *lineEnd != '\n') ++lineEnd;
        Log.partial.append(text, lineEnd - text);
        if (lineEnd == end) return;
        WriteLine(Log.partialStamp, Log.partial.data(), Log.partial.size());
        Log.partial.clear();
        Log.partialStamp[0] = '\0';
        text = lineEnd + 1;
    }
}

void LogWriteNote(const char* line, size_t length) {
    char stamp[32];
    Stamp(stamp);
    if (length > 0 && line[length - 1] == '\n') --length;
    WriteLine(stamp, line, length);
}
