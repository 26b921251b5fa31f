// The report descriptor parser on arbitrary bytes. Besides never reading
// or writing out of bounds, what it accepts must hang together: every
// field lies inside its report, every usage span inside the usage table,
// every report within its limit, and a value field's own usage can be
// read back from a report of the advertised length.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz/check.h"
#include "platform/posix/hid_descriptor.h"

namespace {

// Too large for the stack of a fuzzer's thread, and reused every run.
HidDescriptor parsed;

bool IsValueField(const HidField& field) {
    return (field.flags & kHidMainVariable) && field.reportSize != 1;
}

void CheckAccepted(const HidDescriptor& d) {
    CHECK(d.fieldCount >= 0 && d.fieldCount <= kHidMaxFields);
    CHECK(d.collectionCount >= 0 && d.collectionCount <= kHidMaxCollections);
    CHECK(d.usageCount >= 0 && d.usageCount <= kHidMaxUsageSpans);
    CHECK(d.hasTopCollection == (d.collectionCount > 0));
    for (int i = 0; i < d.collectionCount; ++i) CHECK(d.collections[i].parent <= i);

    CHECK(d.topCount >= 1 && d.topCount <= kHidMaxTopCollections);
    for (int kind = 0; kind < kHidReportKinds; ++kind) {
        for (int id = 0; id < 256; ++id) CHECK(d.reportBits[kind][id] <= kHidMaxReportBytes * 8);
        for (int t = 0; t < d.topCount; ++t) {
            const uint32_t length = HidReportByteLength(&d, t, static_cast<HidReportKind>(kind));
            CHECK(length <= kHidMaxReportBytes + 1);
            uint16_t buttons = 0, values = 0, indices = 0;
            HidCountCaps(&d, t, static_cast<HidReportKind>(kind), &buttons, &values, &indices);
        }
    }

    for (int i = 0; i < d.fieldCount; ++i) {
        const HidField& f = d.fields[i];
        CHECK(f.kind < kHidReportKinds);
        CHECK(f.usageCount > 0 && f.usageFirst + f.usageCount <= d.usageCount);
        CHECK(f.reportSize <= kHidMaxReportSize);
        CHECK(f.top < d.topCount);
        CHECK(f.reportCount > 0 && f.reportCount <= kHidMaxReportCount);
        CHECK(f.bitOffset + static_cast<uint32_t>(f.reportSize) * f.reportCount <=
              d.reportBits[f.kind][f.reportId]);
        CHECK(d.usesReportIds || f.reportId == 0);
        CHECK(d.collectionCount == 0 ? f.linkCollection == 0
                                     : f.linkCollection < d.collectionCount);
        for (int u = 0; u < f.usageCount; ++u) {
            const HidUsageSpan& span = d.usages[f.usageFirst + u];
            CHECK(span.first <= span.last && (span.first >> 16) == (span.last >> 16));
        }
    }

    // Read each value field's first usage back from a report of its own
    // ID, all bits set, of exactly the advertised length.
    for (int i = 0; i < d.fieldCount; ++i) {
        const HidField& f = d.fields[i];
        if (!IsValueField(f)) continue;
        const HidReportKind kind = static_cast<HidReportKind>(f.kind);
        const uint32_t length = HidReportByteLength(&d, f.top, kind);
        CHECK(length >= 1);
        std::vector<uint8_t> report(length, 0xFF);
        report[0] = f.reportId;
        const uint32_t usage = d.usages[f.usageFirst].first;
        uint32_t value = 12345;
        const HidValueResult result =
            HidGetUsageValue(&d, f.top, kind, static_cast<uint16_t>(usage >> 16), 0,
                             static_cast<uint16_t>(usage & 0xFFFF), report.data(), report.size(),
                             &value);
        // The usage may live in an earlier field too, of no bits (0) or
        // wider than a value.
        CHECK(result == kHidValueOk || result == kHidValueTooWide);
        // All bits set reads as all ones of some value field's width.
        CHECK((value & (value + 1)) == 0);
        // One byte short is refused, never read past.
        std::vector<uint8_t> shorter(report.begin(), report.end() - 1);
        CHECK(HidGetUsageValue(&d, f.top, kind, static_cast<uint16_t>(usage >> 16), 0,
                               static_cast<uint16_t>(usage & 0xFFFF), shorter.data(),
                               shorter.size(), &value) == kHidValueWrongLength);
        CHECK(value == 0);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // An exact-size copy, so that a read past the end is caught.
    std::vector<uint8_t> bytes(data, data + size);
    const HidParseResult result = ParseHidDescriptor(bytes.data(), bytes.size(), &parsed);
    if (result == kHidParseOk) {
        CheckAccepted(parsed);
    } else {
        // A refused descriptor leaves nothing behind to be used by mistake.
        CHECK(parsed.fieldCount == 0 && parsed.collectionCount == 0 && parsed.usageCount == 0 &&
              !parsed.hasTopCollection);
    }
    return 0;
}
