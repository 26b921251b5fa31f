#include "tools/boxsim/command.h"

#include <cstring>
#include <sstream>

#include "tools/boxsim/report.h"

namespace {


bool ParseHexByte(const std::string& text, unsigned char* byte) {
    std::string digits = text;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X'))
        digits = digits.substr(2);
    if (digits.empty() || digits.size() > 2) return false;
    int value = 0;
    for (char c : digits) {
        int digit = BoxsimHexDigit(c);
        if (digit < 0) return false;
        value = value * 16 + digit;
    }
    *byte = static_cast<unsigned char>(value);
    return true;
}

struct ReportCommand {
    const char* Name;
    int ReportId;
    int Arguments;
};

const ReportCommand ReportCommands[] = {
    {"buttons", ReportButtons, 1},   {"xy", ReportXY, 2},
    {"z-rx", ReportZRx, 2},          {"ry-rz", ReportRyRz, 2},
    {"slider-dial", ReportSliderDial, 2}, {"status", ReportStatus, 1},
};

}  // namespace

// Decimal or 0x hex with an optional '-'; no octal surprises from a
// leading zero, and nothing may follow the digits. At most 0x7FFFFFFF,
// checked before each digit is taken: where long has 32 bits (armhf) the
// step past that limit would overflow first.
bool ParseNumber(const std::string& text, long* value) {
    size_t at = 0;
    bool negative = false;
    if (at < text.size() && text[at] == '-') {
        negative = true;
        ++at;
    }
    int base = 10;
    if (text.size() - at > 2 && text[at] == '0' && (text[at + 1] == 'x' || text[at + 1] == 'X')) {
        base = 16;
        at += 2;
    }
    if (at == text.size()) return false;
    long result = 0;
    for (; at < text.size(); ++at) {
        int digit = BoxsimHexDigit(text[at]);
        if (digit < 0 || digit >= base) return false;
        if (result > (0x7FFFFFFFL - digit) / base) return false;
        result = result * base + digit;
    }
    *value = negative ? -result : result;
    return true;
}

bool ParseCommand(const std::string& line, BoxsimCommand* command, std::string* error) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string word; in >> word;) {
        if (word[0] == '#') break;  // a comment runs to the end of the line
        words.push_back(word);
    }

    command->Kind = CommandNothing;
    command->Report.clear();
    command->BoxReport = false;
    command->SleepMs = 0;
    if (words.empty()) return true;

    const std::string& name = words[0];
    size_t arguments = words.size() - 1;
    for (const ReportCommand& entry : ReportCommands) {
        if (name != entry.Name) continue;
        if (arguments != static_cast<size_t>(entry.Arguments)) {
            *error = name + " takes " + std::to_string(entry.Arguments) +
                     (entry.Arguments == 1 ? " value" : " values");
            return false;
        }
        long values[2] = {0, 0};
        for (size_t i = 0; i < arguments; ++i) {
            if (!ParseNumber(words[i + 1], &values[i])) {
                *error = "\"" + words[i + 1] + "\" is not a number (decimal or 0x hex)";
                return false;
            }
        }
        unsigned char report[BoxsimMaxReportSize];
        int length = EncodeReport(entry.ReportId, values[0], values[1], report, sizeof report,
                                  error);
        if (length < 0) return false;
        command->Kind = CommandReport;
        command->Report.assign(report, report + length);
        command->BoxReport = true;
        return true;
    }
    if (name == "raw") {
        if (arguments == 0 || arguments > BoxsimRawMax) {
            *error = "raw takes 1 to " + std::to_string(BoxsimRawMax) + " hex bytes";
            return false;
        }
        for (size_t i = 1; i < words.size(); ++i) {
            unsigned char byte = 0;
            if (!ParseHexByte(words[i], &byte)) {
                *error = "\"" + words[i] + "\" is not a hex byte";
                return false;
            }
            command->Report.push_back(byte);
        }
        command->Kind = CommandReport;
        return true;
    }
    if (name == "destroy") {
        if (arguments != 0) {
            *error = "destroy takes no values";
            return false;
        }
        command->Kind = CommandDestroy;
        return true;
    }
    if (name == "replay") {
        if (arguments != 0) {
            *error = "replay takes no values";
            return false;
        }
        command->Kind = CommandReplay;
        return true;
    }
    if (name == "sleep") {
        long ms = 0;
        if (arguments != 1 || !ParseNumber(words[1], &ms) || ms < 0) {
            *error = "sleep takes a number of milliseconds";
            return false;
        }
        command->Kind = CommandSleep;
        command->SleepMs = ms;
        return true;
    }
    *error = "unknown command \"" + name +
             "\" (buttons, xy, z-rx, ry-rz, slider-dial, status, raw, destroy, sleep, "
             "replay)";
    return false;
}

int BoxsimHexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}
