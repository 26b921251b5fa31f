#include "tools/listen/frame.h"

#include <cstdio>
#include <cstring>

namespace {

void SetDetail(std::string* detail, const std::string& text) {
    if (detail) *detail = text;
}

// Matches the literal at text[*pos]; on a mismatch reports where the text
// leaves the template.
bool Expect(const char* text, size_t length, size_t* pos, const char* literal,
            std::string* detail) {
    size_t literalLength = strlen(literal);
    for (size_t i = 0; i < literalLength; ++i) {
        if (*pos + i >= length || text[*pos + i] != literal[i]) {
            char message[160];
            snprintf(message, sizeof message,
                     "text leaves the event template at byte %zu (expected \"%s\")", *pos + i,
                     literal + i);
            SetDetail(detail, message);
            return false;
        }
    }
    *pos += literalLength;
    return true;
}

// Reads a signed decimal in [minimum, maximum] written the way the relay
// writes it: optional '-', then "0" or a digit string without a leading
// zero; "-0" is not a form the relay produces.
bool ExpectNumber(const char* text, size_t length, size_t* pos, const char* name,
                  int64_t minimum, int64_t maximum, int32_t* result, std::string* detail) {
    size_t start = *pos;
    size_t at = start;
    bool negative = at < length && text[at] == '-';
    if (negative) ++at;
    size_t firstDigit = at;
    int64_t magnitude = 0;
    bool tooLong = false;
    while (at < length && text[at] >= '0' && text[at] <= '9') {
        if (at - firstDigit >= 11) tooLong = true;  // beyond any 32-bit value
        if (!tooLong) magnitude = magnitude * 10 + (text[at] - '0');
        ++at;
    }
    size_t digits = at - firstDigit;
    std::string written(text + start, at - start);
    char message[160];
    if (digits == 0) {
        snprintf(message, sizeof message, "%s has no decimal value at byte %zu", name, start);
        SetDetail(detail, message);
        return false;
    }
    if ((digits > 1 && text[firstDigit] == '0') || (negative && magnitude == 0)) {
        snprintf(message, sizeof message, "%s value \"%s\" is not written as the relay writes it",
                 name, written.c_str());
        SetDetail(detail, message);
        return false;
    }
    int64_t value = negative ? -magnitude : magnitude;
    if (tooLong || value < minimum || value > maximum) {
        snprintf(message, sizeof message, "%s value \"%s\" is out of range (%lld to %lld)", name,
                 written.c_str(), static_cast<long long>(minimum),
                 static_cast<long long>(maximum));
        SetDetail(detail, message);
        return false;
    }
    *result = static_cast<int32_t>(value);
    *pos = at;
    return true;
}

}  // namespace

std::string QuoteBytes(const unsigned char* bytes, size_t size, size_t limit) {
    std::string out = "\"";
    for (size_t i = 0; i < size && i < limit; ++i) {
        unsigned char c = bytes[i];
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7f) {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    out += '"';
    if (size > limit) out += "...";
    return out;
}

int ParseEventFrame(const unsigned char* frame, size_t size, FrameEvent* event,
                    std::string* detail) {
    if (size != StreamFrameSize) {
        SetDetail(detail, "frame is " + std::to_string(size) + " bytes, not " +
                              std::to_string(StreamFrameSize));
        return FrameWrongSize;
    }
    const void* zero = memchr(frame, 0, size);
    if (!zero) {
        SetDetail(detail, "no zero byte ends the text");
        return FrameUnterminated;
    }
    const char* text = reinterpret_cast<const char*>(frame);
    size_t length = static_cast<size_t>(static_cast<const unsigned char*>(zero) - frame);

    FrameEvent parsed = {0, 0, 0};
    size_t pos = 0;
    if (!Expect(text, length, &pos, "<DORQIN TYP=\"", detail)) return FrameBadTemplate;
    if (!ExpectNumber(text, length, &pos, "TYP", INT16_MIN, INT16_MAX, &parsed.Typ, detail))
        return FrameBadNumber;
    if (!Expect(text, length, &pos, "\" ID=\"", detail)) return FrameBadTemplate;
    if (!ExpectNumber(text, length, &pos, "ID", INT32_MIN, INT32_MAX, &parsed.Id, detail))
        return FrameBadNumber;
    if (!Expect(text, length, &pos, "\" VALUE=\"", detail)) return FrameBadTemplate;
    if (!ExpectNumber(text, length, &pos, "VALUE", INT32_MIN, INT32_MAX, &parsed.Value, detail))
        return FrameBadNumber;
    if (!Expect(text, length, &pos, "\" />", detail)) return FrameBadTemplate;
    if (pos != length) {
        SetDetail(detail, "text goes on after \"/>\" at byte " + std::to_string(pos));
        return FrameBadTemplate;
    }
    for (size_t i = length; i < size; ++i) {
        if (frame[i] != 0) {
            char message[96];
            snprintf(message, sizeof message, "byte %zu after the text is 0x%02x, not zero", i,
                     frame[i]);
            SetDetail(detail, message);
            return FrameNonzeroFill;
        }
    }
    if (parsed.Value == NoValueMarker) {
        SetDetail(detail, "VALUE 1023 is the no-value marker, which the relay never sends");
        return FrameNoValueMarker;
    }
    if (event) *event = parsed;
    return FrameOk;
}

int CheckGreeting(const unsigned char* bytes, size_t size, std::string* detail) {
    if (size != StreamGreetingSize) {
        SetDetail(detail, "greeting is " + std::to_string(size) + " bytes, not " +
                              std::to_string(StreamGreetingSize));
        return FrameWrongSize;
    }
    unsigned char expected[StreamGreetingSize] = {};
    memcpy(expected, GreetingText, sizeof GreetingText - 1);
    for (size_t i = 0; i < size; ++i) {
        if (bytes[i] != expected[i]) {
            SetDetail(detail, "greeting differs at byte " + std::to_string(i) + ": got " +
                                  QuoteBytes(bytes, size, size) + ", expected " +
                                  QuoteBytes(expected, size, size));
            return FrameBadGreeting;
        }
    }
    return FrameOk;
}
