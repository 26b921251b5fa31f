// The bench's box: an endless, deterministic stream of input reports for
// the box of tests/support/descriptors.h, and the events a relay must send
// for each, so that every frame and every echoed line can be checked in
// order without storing the stream.
#pragma once

#include <charconv>
#include <cstdint>
#include <cstring>

#include "net/stream.h"

constexpr int kBenchReportLength = 5;  // the box's input report length

struct BenchEvent {
    int typ;
    int id;
    int value;
};

// Report n cycles through IDs 1 to 5. Its two 16-bit fields are n and
// n * 40503 (an odd factor, so both run through every 16-bit value): each
// report differs from its neighbours, values are negative half the time,
// and now and then one of them is 1023, which must be dropped. Both are
// never 1023 at once, so every report sends at least one frame.
inline void BenchReport(uint64_t n, uint8_t out[kBenchReportLength]) {
    const uint16_t a = static_cast<uint16_t>(n);
    const uint16_t b = static_cast<uint16_t>(n * 40503u);
    out[0] = static_cast<uint8_t>(1 + n % 5);
    out[1] = static_cast<uint8_t>(a);
    out[2] = static_cast<uint8_t>(a >> 8);
    const bool buttons = out[0] == 1;  // report 1 carries only the button word
    out[3] = buttons ? 0 : static_cast<uint8_t>(b);
    out[4] = buttons ? 0 : static_cast<uint8_t>(b >> 8);
}

// The events of report n in the order they must arrive; returns how many.
inline int BenchEvents(uint64_t n, BenchEvent out[2]) {
    const int a = static_cast<int16_t>(static_cast<uint16_t>(n));
    const int b = static_cast<int16_t>(static_cast<uint16_t>(n * 40503u));
    // TYP and first ID of reports 2 to 5.
    static const int kTyp[4] = {3, 3, 3, 2};
    static const int kFirstId[4] = {0, 2, 0, 2};
    const int id = static_cast<int>(1 + n % 5);
    if (id == 1) {
        out[0] = {1, a, 1};
        return 1;
    }
    int count = 0;
    if (a != NoValueMarker) out[count++] = {kTyp[id - 2], kFirstId[id - 2], a};
    if (b != NoValueMarker) out[count++] = {kTyp[id - 2], kFirstId[id - 2] + 1, b};
    return count;
}

// The text of an event, written into out (at least 64 bytes); returns its
// length.
inline int BenchEventText(const BenchEvent& event, char* out) {
    char* p = out;
    auto put = [&p](const char* text) {
        const size_t n = strlen(text);
        memcpy(p, text, n);
        p += n;
    };
    put("<DORQIN TYP=\"");
    p = std::to_chars(p, out + 64, event.typ).ptr;
    put("\" ID=\"");
    p = std::to_chars(p, out + 64, event.id).ptr;
    put("\" VALUE=\"");
    p = std::to_chars(p, out + 64, event.value).ptr;
    put("\" />");
    return static_cast<int>(p - out);
}
