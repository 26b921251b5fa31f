#include "tools/boxsim/device_file.h"

#include <cstring>

#include "tools/boxsim/command.h"

namespace {

// Hex digits only, at most maxDigits of them; false for anything else.
bool ParseHex(const std::string& text, size_t maxDigits, unsigned long* value) {
    if (text.empty() || text.size() > maxDigits) return false;
    unsigned long result = 0;
    for (char c : text) {
        int digit = BoxsimHexDigit(c);
        if (digit < 0) return false;
        result = result * 16 + static_cast<unsigned long>(digit);
    }
    *value = result;
    return true;
}

bool ParseDecimal(const std::string& text, size_t maxDigits, unsigned long long* value) {
    if (text.empty() || text.size() > maxDigits) return false;
    unsigned long long result = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        result = result * 10 + static_cast<unsigned long long>(c - '0');
    }
    *value = result;
    return true;
}

std::vector<std::string> Words(const std::string& text, const char* separators) {
    std::vector<std::string> words;
    size_t at = 0;
    while (at < text.size()) {
        size_t start = text.find_first_not_of(separators, at);
        if (start == std::string::npos) break;
        size_t end = text.find_first_of(separators, start);
        if (end == std::string::npos) end = text.size();
        words.push_back(text.substr(start, end - start));
        at = end;
    }
    return words;
}

// Text is what a person could have typed: no control bytes but line
// breaks and tabs. A binary descriptor has them at once (05 01 09 04).
bool LooksLikeText(const std::string& content) {
    for (unsigned char c : content) {
        if ((c < 0x20 && c != '\n' && c != '\r' && c != '\t') || c == 0x7F) return false;
    }
    return true;
}

bool ParseHexText(const std::string& content, std::vector<unsigned char>* bytes,
                  std::string* error) {
    unsigned long number = 0;
    size_t at = 0;
    while (at <= content.size()) {
        size_t end = content.find('\n', at);
        if (end == std::string::npos) end = content.size();
        std::string line = content.substr(at, end - at);
        at = end + 1;
        ++number;
        size_t comment = line.find('#');
        if (comment != std::string::npos) line.erase(comment);
        for (std::string token : Words(line, " \t\r,")) {
            std::string digits = token;
            if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X'))
                digits = digits.substr(2);
            unsigned long value = 0;
            if (!ParseHex(digits, 2, &value)) {
                *error = "line " + std::to_string(number) + ": \"" + token + "\" is not a hex byte";
                return false;
            }
            bytes->push_back(static_cast<unsigned char>(value));
        }
    }
    return true;
}

// The state of one recording being parsed.
struct RecordingParser {
    std::vector<RecordedDevice>* Devices;
    size_t Current;  // index into Devices
    // An R: or E: line whose bytes are not all there yet.
    std::vector<unsigned char>* Pending;
    size_t PendingLength;
    unsigned long PendingLine;
    char PendingKind;
};

std::string At(unsigned long line, const std::string& reason) {
    return "line " + std::to_string(line) + ": " + reason;
}

RecordedDevice* DeviceNumbered(RecordingParser* parser, int number) {
    for (size_t i = 0; i < parser->Devices->size(); ++i) {
        if ((*parser->Devices)[i].Number == number) {
            parser->Current = i;
            return &(*parser->Devices)[i];
        }
    }
    RecordedDevice device;
    device.Number = number;
    device.HasIdentity = false;
    device.Bus = device.Vendor = device.Product = 0;
    parser->Devices->push_back(device);
    parser->Current = parser->Devices->size() - 1;
    return &parser->Devices->back();
}

// Appends two-digit hex bytes to the pending R: or E: record.
bool TakeBytes(RecordingParser* parser, const std::vector<std::string>& words, size_t first,
               unsigned long line, std::string* error) {
    for (size_t i = first; i < words.size(); ++i) {
        unsigned long value = 0;
        if (words[i].size() != 2 || !ParseHex(words[i], 2, &value)) {
            *error = At(line, "\"" + words[i] + "\" is not a hex byte (two digits)");
            return false;
        }
        parser->Pending->push_back(static_cast<unsigned char>(value));
    }
    if (parser->Pending->size() > parser->PendingLength) {
        *error =
            At(parser->PendingLine, std::string(1, parser->PendingKind) + ": declares " +
                                        std::to_string(parser->PendingLength) + " bytes, has " +
                                        std::to_string(parser->Pending->size()));
        return false;
    }
    if (parser->Pending->size() == parser->PendingLength) parser->Pending = nullptr;
    return true;
}

bool PendingComplete(const RecordingParser& parser, std::string* error) {
    if (!parser.Pending) return true;
    *error = At(parser.PendingLine, std::string(1, parser.PendingKind) + ": declares " +
                                        std::to_string(parser.PendingLength) + " bytes, has " +
                                        std::to_string(parser.Pending->size()) +
                                        " (the line is cut short)");
    return false;
}

// The declared length of an R: or E: record: decimal, 1..limit.
bool ParseLength(const std::string& word, size_t limit, const char* what, unsigned long line,
                 size_t* length, std::string* error) {
    unsigned long long value = 0;
    if (!ParseDecimal(word, 6, &value) || value == 0 || value > limit) {
        *error = At(line, "\"" + word + "\" is not a " + what + " length (1 to " +
                              std::to_string(limit) + ")");
        return false;
    }
    *length = static_cast<size_t>(value);
    return true;
}

// "sec.usec", six digits after the point as hid-recorder writes them: a
// shorter fraction would be ambiguous.
bool ParseTimestamp(const std::string& word, uint64_t* us) {
    size_t point = word.find('.');
    if (point == std::string::npos || word.size() - point - 1 != 6) return false;
    unsigned long long seconds = 0, micros = 0;
    if (!ParseDecimal(word.substr(0, point), 10, &seconds)) return false;
    if (!ParseDecimal(word.substr(point + 1), 6, &micros)) return false;
    *us = seconds * 1000000ULL + micros;
    return true;
}

bool ParseRecordLine(RecordingParser* parser, const std::string& line, unsigned long number,
                     std::string* error) {
    char kind = line[0];
    std::string rest = line.substr(2);
    std::vector<std::string> words = Words(rest, " \t\r");
    RecordedDevice* device = &(*parser->Devices)[parser->Current];
    switch (kind) {
        case 'D': {
            unsigned long long value = 0;
            if (words.size() != 1 || !ParseDecimal(words[0], 6, &value)) {
                *error = At(number, "D: takes one device number");
                return false;
            }
            DeviceNumbered(parser, static_cast<int>(value));
            return true;
        }
        case 'R': {
            if (!device->Descriptor.empty()) {
                *error = At(number, "a second R: for device " + std::to_string(device->Number));
                return false;
            }
            size_t length = 0;
            if (words.empty()) {
                *error = At(number, "R: takes a length and the descriptor's bytes");
                return false;
            }
            if (!ParseLength(words[0], BoxsimMaxDescriptor, "descriptor", number, &length, error))
                return false;
            parser->Pending = &device->Descriptor;
            parser->PendingLength = length;
            parser->PendingLine = number;
            parser->PendingKind = 'R';
            return TakeBytes(parser, words, 1, number, error);
        }
        case 'N':
        case 'P': {
            // The text runs to the end of the line, inner spaces kept.
            size_t first = rest.find_first_not_of(" \t");
            size_t last = rest.find_last_not_of(" \t\r");
            std::string text =
                first == std::string::npos ? "" : rest.substr(first, last - first + 1);
            (kind == 'N' ? device->Name : device->Phys) = text;
            return true;
        }
        case 'I': {
            unsigned long values[3] = {0, 0, 0};
            bool ok = words.size() == 3;
            for (size_t i = 0; ok && i < 3; ++i) ok = ParseHex(words[i], 4, &values[i]);
            if (!ok) {
                *error = At(number, "I: takes bus, vendor and product in hex (I: 3 046d c630)");
                return false;
            }
            device->HasIdentity = true;
            device->Bus = static_cast<uint16_t>(values[0]);
            device->Vendor = static_cast<uint16_t>(values[1]);
            device->Product = static_cast<uint16_t>(values[2]);
            return true;
        }
        case 'E': {
            RecordedEvent event;
            if (words.size() < 2 || !ParseTimestamp(words[0], &event.TimeUs)) {
                *error = At(number,
                            "E: takes a time (sec.usec, six digits after the point), a "
                            "length and the report's bytes");
                return false;
            }
            size_t length = 0;
            if (!ParseLength(words[1], BoxsimMaxReport, "report", number, &length, error))
                return false;
            device->Events.push_back(event);
            parser->Pending = &device->Events.back().Bytes;
            parser->PendingLength = length;
            parser->PendingLine = number;
            parser->PendingKind = 'E';
            return TakeBytes(parser, words, 2, number, error);
        }
        default:
            *error = At(number, std::string("unknown line \"") + kind +
                                    ":\" (D:, R:, N:, P:, I:, E: or a # comment)");
            return false;
    }
}

}  // namespace

int ReadDescriptorFile(const std::string& content, DescriptorFile* out, std::string* error) {
    out->Bytes.clear();
    out->TextError.clear();
    std::string textError;
    out->Text = ParseHexText(content, &out->Bytes, &textError);
    if (!out->Text) {
        out->Bytes.assign(content.begin(), content.end());
        if (LooksLikeText(content)) out->TextError = textError;
    }
    if (out->Bytes.empty()) {
        *error = "the descriptor has no bytes";
        return -1;
    }
    if (out->Bytes.size() > BoxsimMaxDescriptor) {
        *error = "the descriptor has " + std::to_string(out->Bytes.size()) +
                 " bytes; the kernel takes at most " + std::to_string(BoxsimMaxDescriptor);
        return -1;
    }
    return 0;
}

int ParseRecording(const std::string& content, std::vector<RecordedDevice>* devices,
                   std::string* error) {
    devices->clear();
    RecordingParser parser = {devices, 0, nullptr, 0, 0, 0};
    // Lines before any D: describe device 0.
    DeviceNumbered(&parser, 0);
    unsigned long number = 0;
    size_t at = 0;
    while (at < content.size()) {
        size_t end = content.find('\n', at);
        if (end == std::string::npos) end = content.size();
        std::string line = content.substr(at, end - at);
        at = end + 1;
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        size_t first = line.find_first_not_of(" \t");
        if (parser.Pending && first != std::string::npos && BoxsimHexDigit(line[first]) >= 0 &&
            !(line.size() > first + 1 && line[first + 1] == ':')) {
            if (!TakeBytes(&parser, Words(line, " \t"), 0, number, error)) return -1;
            continue;
        }
        if (!PendingComplete(parser, error)) return -1;
        if (first == std::string::npos || line[first] == '#') continue;
        if (first != 0 || line.size() < 2 || line[1] != ':') {
            *error = At(number, "not a recording line (D:, R:, N:, P:, I:, E: or a # comment)");
            return -1;
        }
        if (!ParseRecordLine(&parser, line, number, error)) return -1;
    }
    if (!PendingComplete(parser, error)) return -1;

    // Device 0 stands for the lines before the first D:; drop it when the
    // recording only numbered others.
    RecordedDevice& implicit = devices->front();
    if (implicit.Descriptor.empty() && implicit.Events.empty() && implicit.Name.empty() &&
        implicit.Phys.empty() && !implicit.HasIdentity && devices->size() > 1)
        devices->erase(devices->begin());
    for (const RecordedDevice& device : *devices) {
        if (device.Descriptor.empty()) {
            *error = "device " + std::to_string(device.Number) + " has no R: line (its descriptor)";
            return -1;
        }
    }
    return 0;
}
