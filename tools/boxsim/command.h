// dorqin-boxsim's command language, one command a line:
//   buttons W | xy X Y | z-rx A B | ry-rz A B | slider-dial A B
//   status N | raw HH HH ... | destroy | sleep MS | replay; "#" starts a
//   comment
// Numbers are decimal or 0x-prefixed hex, optionally negative.
#pragma once

#include <string>
#include <vector>

enum BoxsimCommandKind {
    CommandNothing,  // blank line or comment
    CommandReport,   // send Report as one input report
    CommandDestroy,  // remove the box
    CommandSleep,    // wait SleepMs milliseconds
    CommandReplay,   // send the recording's reports at their recorded times
};

struct BoxsimCommand {
    BoxsimCommandKind Kind;
    std::vector<unsigned char> Report;
    bool BoxReport;  // Report is one of the box's own (not raw bytes)
    long SleepMs;
};

// Raw reports are sent as typed, up to this many bytes (the uhid limit).
constexpr size_t BoxsimRawMax = 4096;

// A number as the commands take it: decimal or 0x hex, optionally
// negative, at most 0x7FFFFFFF in magnitude; false for anything else.
bool ParseNumber(const std::string& text, long* value);

// Parses one line (without its line break). Returns true and fills
// *command, or false with an English reason in *error.
bool ParseCommand(const std::string& line, BoxsimCommand* command, std::string* error);

// The value of one hex digit, either case; -1 for anything else.
int BoxsimHexDigit(char c);
