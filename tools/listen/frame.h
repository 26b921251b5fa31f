// The relay's stream as a client sees it: one 44-byte greeting, then
// 100-byte event frames. Pure functions, so tests and fuzzers can feed
// them any bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "net/stream.h"

// The relay's frame sizes (net/stream.h) as the byte counts the client
// keeps them in.
constexpr size_t StreamGreetingSize = GreetingFrameSize;
constexpr size_t StreamFrameSize = EventFrameSize;

struct FrameEvent {
    int32_t Typ;
    int32_t Id;
    int32_t Value;
};

enum FrameStatus {
    FrameOk = 0,
    FrameWrongSize,      // not exactly StreamFrameSize (or StreamGreetingSize) bytes
    FrameUnterminated,   // no zero byte after the text
    FrameBadTemplate,    // the text leaves the event template
    FrameBadNumber,      // an attribute is not a plain signed decimal in range
    FrameNonzeroFill,    // a non-zero byte after the text's end
    FrameNoValueMarker,  // an event carrying VALUE 1023
    FrameBadGreeting,    // the greeting differs from the fixed one
};

// Checks one event frame strictly: the text <DORQIN TYP="t" ID="i"
// VALUE="v" /> (t a signed 16-bit, i and v signed 32-bit decimals with no
// plus sign and no leading zeros), then zero bytes to the end. Returns
// FrameOk and fills *event, or the first fault found with a one-line English
// description in *detail (when detail is not null).
int ParseEventFrame(const unsigned char* frame, size_t size, FrameEvent* event,
                    std::string* detail);

// Checks the greeting byte for byte. Returns FrameOk, FrameWrongSize or
// FrameBadGreeting, with a description in *detail.
int CheckGreeting(const unsigned char* bytes, size_t size, std::string* detail);

// The bytes as a quoted, escaped text for error messages: printable ASCII
// as is, everything else as \xNN; at most limit bytes, then "...".
std::string QuoteBytes(const unsigned char* bytes, size_t size, size_t limit);
