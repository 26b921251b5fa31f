// The report descriptor parser and raw value extraction, on descriptors
// shaped like real ones and on hostile ones.
#include "platform/posix/hid_descriptor.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <vector>

#include "support/descriptors.h"

namespace {

typedef std::vector<uint8_t> Bytes;

struct Parsed {
    std::unique_ptr<HidDescriptor> d{new HidDescriptor};
    HidParseResult result;
    explicit Parsed(const Bytes& bytes)
        : result(ParseHidDescriptor(bytes.data(), bytes.size(), d.get())) {}
};

HidValueResult Value(const HidDescriptor* d, uint32_t usage, const Bytes& report,
                     uint32_t* value, uint16_t link = 0) {
    return HidGetUsageValue(d, 0, kHidInput, static_cast<uint16_t>(usage >> 16), link,
                            static_cast<uint16_t>(usage & 0xFFFF), report.data(), report.size(),
                            value);
}

// Wraps items in Generic Desktop / Joystick application collection.
Bytes Joystick(const Bytes& items) {
    Bytes d;
    d.reserve(items.size() + 7);
    for (uint8_t b : {0x05, 0x01, 0x09, 0x04, 0xA1, 0x01}) d.push_back(b);
    for (uint8_t b : items) d.push_back(b);
    d.push_back(0xC0);
    return d;
}

TEST(HidDescriptor, TheBoxDescriptorGivesItsCollectionReportLengthAndCaps) {
    Parsed p(BoxDescriptor());
    ASSERT_EQ(p.result, kHidParseOk);
    EXPECT_EQ(p.d->tops[0].usagePage, 0x01);
    EXPECT_EQ(p.d->tops[0].usage, 0x04);
    EXPECT_TRUE(p.d->usesReportIds);
    EXPECT_EQ(HidReportByteLength(p.d.get(), 0, kHidInput), 5u);  // longest 4 data bytes + ID
    EXPECT_EQ(HidReportByteLength(p.d.get(), 0, kHidOutput), 0u);
    uint16_t buttons, values, indices;
    HidCountCaps(p.d.get(), 0, kHidInput, &buttons, &values, &indices);
    EXPECT_EQ(buttons, 1);  // one usage range
    EXPECT_EQ(values, 8);
    EXPECT_EQ(indices, 16 + 8);
}

TEST(HidDescriptor, EachAxisIsFoundInItsOwnReportOnly) {
    Parsed p(BoxDescriptor());
    ASSERT_EQ(p.result, kHidParseOk);
    uint32_t v = 99;
    // Report 2: X = 700, Y = 512, little-endian.
    const Bytes report2 = {0x02, 0xBC, 0x02, 0x00, 0x02};
    ASSERT_EQ(Value(p.d.get(), 0x00010030, report2, &v), kHidValueOk);
    EXPECT_EQ(v, 700u);
    ASSERT_EQ(Value(p.d.get(), 0x00010031, report2, &v), kHidValueOk);
    EXPECT_EQ(v, 512u);
    // Z lives in report 3: asking report 2 for it names the wrong report.
    EXPECT_EQ(Value(p.d.get(), 0x00010032, report2, &v), kHidValueOtherReport);
    EXPECT_EQ(v, 0u);
    // Wheel is in no report; buttons are no values.
    EXPECT_EQ(Value(p.d.get(), 0x00010038, report2, &v), kHidValueNotFound);
    EXPECT_EQ(Value(p.d.get(), 0x00090001, {0x01, 0xFF, 0xFF, 0x00, 0x00}, &v),
              kHidValueNotFound);
    // A report with an ID the descriptor never names holds none of them.
    EXPECT_EQ(Value(p.d.get(), 0x00010030, {0x07, 0, 0, 0, 0}, &v), kHidValueOtherReport);
}

TEST(HidDescriptor, ALengthOtherThanTheCapsLengthIsRefused) {
    Parsed p(BoxDescriptor());
    uint32_t v = 99;
    EXPECT_EQ(Value(p.d.get(), 0x00010030, {0x02, 0xBC, 0x02}, &v), kHidValueWrongLength);
    EXPECT_EQ(Value(p.d.get(), 0x00010030, {0x02, 0xBC, 0x02, 0, 0, 0}, &v),
              kHidValueWrongLength);
    EXPECT_EQ(v, 0u);
}

TEST(HidDescriptor, SixteenBitsAreZeroExtendedEvenWithANegativeLogicalMinimum) {
    Parsed p(BoxDescriptor());
    uint32_t v = 0;
    // Report 5: Slider = 7, Dial = 0xFFFB (-5 as the relay reads it).
    const Bytes report5 = {0x05, 0x07, 0x00, 0xFB, 0xFF};
    ASSERT_EQ(Value(p.d.get(), 0x00010037, report5, &v), kHidValueOk);
    EXPECT_EQ(v, 0xFFFBu);
    ASSERT_EQ(Value(p.d.get(), 0x00010036, report5, &v), kHidValueOk);
    EXPECT_EQ(v, 7u);
}

TEST(HidDescriptor, ATenBitAxisAtItsTopReadsTenTwentyThreeNotMinusOne) {
    Parsed p(TenBitJoystickDescriptor());
    ASSERT_EQ(p.result, kHidParseOk);
    ASSERT_EQ(HidReportByteLength(p.d.get(), 0, kHidInput), 4u);
    uint32_t v = 0;
    const Bytes report = {0x02, 0xFF, 0x03, 0x08};  // X = 1023, Y = 512
    ASSERT_EQ(Value(p.d.get(), 0x00010030, report, &v), kHidValueOk);
    EXPECT_EQ(v, 1023u);
    ASSERT_EQ(Value(p.d.get(), 0x00010031, report, &v), kHidValueOk);
    EXPECT_EQ(v, 512u);
}

TEST(HidDescriptor, PackedFieldsAcrossByteBoundariesWithoutReportIds) {
    Parsed p(Joystick({
        0x09, 0x30, 0x75, 0x03, 0x95, 0x01, 0x81, 0x02,  // X: 3 bits
        0x09, 0x31, 0x75, 0x07, 0x81, 0x02,              // Y: 7 bits
        0x09, 0x32, 0x75, 0x0C, 0x81, 0x02,              // Z: 12 bits
        0x09, 0x33, 0x75, 0x02, 0x81, 0x02,              // Rx: 2 bits
    }));
    ASSERT_EQ(p.result, kHidParseOk);
    EXPECT_FALSE(p.d->usesReportIds);
    ASSERT_EQ(HidReportByteLength(p.d.get(), 0, kHidInput), 4u);  // the 0 ID byte counts
    const Bytes report = {0x00, 0xAD, 0xF2, 0xAA};  // X=5, Y=0x55, Z=0xABC, Rx=2
    const uint32_t expected[4] = {5, 0x55, 0xABC, 2};
    for (uint32_t i = 0; i < 4; ++i) {
        uint32_t v = 0;
        ASSERT_EQ(Value(p.d.get(), 0x00010030 + i, report, &v), kHidValueOk) << i;
        EXPECT_EQ(v, expected[i]) << i;
    }
    // Without report IDs byte 0 must be 0: anything else is another report.
    uint32_t v = 0;
    EXPECT_EQ(Value(p.d.get(), 0x00010030, {0x01, 0xAD, 0xF2, 0xAA}, &v), kHidValueOtherReport);
}

// Fields of 32 bits starting mid-byte, checked against a bit-by-bit
// reading; a field wider than the 32 bits of a value is refused, as Wine's
// hid.dll does (HIDP_STATUS_BUFFER_TOO_SMALL).
TEST(HidDescriptor, WideFieldsAtOddBitOffsetsUpToThirtyTwoBits) {
    Parsed p(Joystick({
        0x75, 0x02, 0x95, 0x01, 0x81, 0x03,              // 2 bits of padding
        0x09, 0x30, 0x75, 0x20, 0x95, 0x01, 0x81, 0x02,  // X: 32 bits at bit 2
        0x09, 0x32, 0x75, 0x05, 0x95, 0x01, 0x81, 0x02,  // Z: 5 bits at bit 34
        0x09, 0x31, 0x75, 0x28, 0x95, 0x01, 0x81, 0x02,  // Y: 40 bits at bit 39
        0x75, 0x01, 0x95, 0x01, 0x81, 0x03,              // 1 bit of padding
    }));
    ASSERT_EQ(p.result, kHidParseOk);
    ASSERT_EQ(HidReportByteLength(p.d.get(), 0, kHidInput), 11u);
    auto bitsAt = [](const Bytes& report, size_t start, unsigned width) {
        uint32_t v = 0;
        for (unsigned b = 0; b < width && b < 32; ++b) {
            v |= static_cast<uint32_t>((report[(start + b) / 8] >> ((start + b) % 8)) & 1) << b;
        }
        return v;
    };
    std::mt19937 random(7);
    for (int round = 0; round < 200; ++round) {
        Bytes report(11);
        for (uint8_t& b : report) b = static_cast<uint8_t>(random());
        report[0] = 0;  // no report IDs: byte 0 is Windows' 0
        uint32_t v = 0;
        ASSERT_EQ(Value(p.d.get(), 0x00010030, report, &v), kHidValueOk);
        EXPECT_EQ(v, bitsAt(report, 8 + 2, 32));
        ASSERT_EQ(Value(p.d.get(), 0x00010032, report, &v), kHidValueOk);
        EXPECT_EQ(v, bitsAt(report, 8 + 34, 5));
        EXPECT_EQ(Value(p.d.get(), 0x00010031, report, &v), kHidValueTooWide);
        EXPECT_EQ(v, 0u);
    }
}

TEST(HidDescriptor, UsageRangesNameOneElementEachAndTheLastRepeats) {
    Parsed p(Joystick({
        0x19, 0x30, 0x29, 0x35,  // Usage Minimum (X), Usage Maximum (Rz)
        0x75, 0x08, 0x95, 0x06, 0x81, 0x02,
        0x19, 0x36, 0x29, 0x37,  // Slider..Dial over four elements
        0x95, 0x04, 0x81, 0x02,
    }));
    ASSERT_EQ(p.result, kHidParseOk);
    const Bytes report = {0x00, 0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80, 0x90, 0xA0};
    uint32_t v = 0;
    ASSERT_EQ(Value(p.d.get(), 0x00010034, report, &v), kHidValueOk);  // Ry: 5th element
    EXPECT_EQ(v, 0x50u);
    ASSERT_EQ(Value(p.d.get(), 0x00010036, report, &v), kHidValueOk);
    EXPECT_EQ(v, 0x70u);
    // Dial covers elements 2 to 4 of its field: a value array gives its first.
    ASSERT_EQ(Value(p.d.get(), 0x00010037, report, &v), kHidValueOk);
    EXPECT_EQ(v, 0x80u);
}

TEST(HidDescriptor, PushAndPopRestoreTheGlobalState) {
    Parsed p(Joystick({
        0x75, 0x08, 0x95, 0x01,  // 8 bits x 1 on Generic Desktop
        0xA4,                    // Push
        0x05, 0x09,              // Usage Page (Button)
        0x75, 0x04, 0x95, 0x02,  // 4 bits x 2
        0x09, 0x30, 0x09, 0x31, 0x81, 0x02,
        0xB4,                    // Pop
        0x09, 0x32, 0x81, 0x02,
    }));
    ASSERT_EQ(p.result, kHidParseOk);
    ASSERT_EQ(HidReportByteLength(p.d.get(), 0, kHidInput), 3u);
    const Bytes report = {0x00, 0x9A, 0xC3};
    uint32_t v = 0;
    ASSERT_EQ(Value(p.d.get(), 0x00090031, report, &v), kHidValueOk);
    EXPECT_EQ(v, 0x9u);
    EXPECT_EQ(Value(p.d.get(), 0x00010031, report, &v), kHidValueNotFound);
    ASSERT_EQ(Value(p.d.get(), 0x00010032, report, &v), kHidValueOk);
    EXPECT_EQ(v, 0xC3u);
}

// The gamepad shape that hid-core's comments call out: axes, then a
// Usage Page for the pedals, then one main item. Each usage keeps the page
// it was written under.
TEST(HidDescriptor, AUsageKeepsThePageItWasWrittenUnderAndExtendedUsagesTheirOwn) {
    Parsed p(Joystick({
        0x09, 0x30, 0x09, 0x31,        // X, Y on Generic Desktop...
        0x05, 0x02, 0x09, 0xC5,        // ...then Simulation: Brake
        0x75, 0x08, 0x95, 0x03, 0x81, 0x02,
        0x0B, 0x32, 0x00, 0x01, 0x00,  // Usage (Generic Desktop: Z), 4 bytes
        0x0B, 0x33, 0x00, 0x00, 0x00,  // a 4-byte usage of page 0 takes the page in force
        0x95, 0x02, 0x81, 0x02,
    }));
    ASSERT_EQ(p.result, kHidParseOk);
    const Bytes report = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
    uint32_t v = 0;
    ASSERT_EQ(Value(p.d.get(), 0x00010030, report, &v), kHidValueOk);
    EXPECT_EQ(v, 0x11u);
    ASSERT_EQ(Value(p.d.get(), 0x00010031, report, &v), kHidValueOk);
    EXPECT_EQ(v, 0x22u);
    ASSERT_EQ(Value(p.d.get(), 0x000200C5, report, &v), kHidValueOk);
    EXPECT_EQ(v, 0x33u);
    EXPECT_EQ(Value(p.d.get(), 0x00020030, report, &v), kHidValueNotFound);
    ASSERT_EQ(Value(p.d.get(), 0x00010032, report, &v), kHidValueOk);
    EXPECT_EQ(v, 0x44u);
    ASSERT_EQ(Value(p.d.get(), 0x00020033, report, &v), kHidValueOk);
    EXPECT_EQ(v, 0x55u);
}

TEST(HidDescriptor, ALinkCollectionNarrowsTheSearchAndZeroMeansAll) {
    Parsed p(Joystick({
        0x09, 0x01, 0xA1, 0x00,  // Collection (Physical: Pointer), link collection 1
        0x09, 0x30, 0x75, 0x08, 0x95, 0x01, 0x81, 0x02,
        0xC0,
    }));
    ASSERT_EQ(p.result, kHidParseOk);
    const Bytes report = {0x00, 0x42};
    uint32_t v = 0;
    EXPECT_EQ(Value(p.d.get(), 0x00010030, report, &v, 0), kHidValueOk);
    EXPECT_EQ(Value(p.d.get(), 0x00010030, report, &v, 1), kHidValueOk);
    EXPECT_EQ(v, 0x42u);
    EXPECT_EQ(Value(p.d.get(), 0x00010030, report, &v, 2), kHidValueNotFound);
}

// ---- Hostile descriptors ------------------------------------------------

HidParseResult Parse(const Bytes& bytes) { return Parsed(bytes).result; }

TEST(HidDescriptorRejects, ItemsThatRunPastTheEnd) {
    EXPECT_EQ(Parse({0x05}), kHidParseTruncated);                   // 1 data byte missing
    EXPECT_EQ(Parse({0x05, 0x01, 0x27, 0xFF, 0xFF}), kHidParseTruncated);  // 4-byte item, 2 left
    EXPECT_EQ(Parse({0xFE}), kHidParseTruncated);                   // long item head cut
    EXPECT_EQ(Parse({0xFE, 0x05, 0x10, 0x00}), kHidParseTruncated);  // long item data cut
}

TEST(HidDescriptorRejects, LongItemsEvenWhenComplete) {
    EXPECT_EQ(Parse({0xFE, 0x02, 0x10, 0xAA, 0xBB}), kHidParseLongItem);
}

TEST(HidDescriptorRejects, GlobalStackOverflowAndUnderflow) {
    Bytes pushes(kHidGlobalStackDepth, 0xA4);
    EXPECT_EQ(Parse(pushes), kHidParseOk);
    pushes.push_back(0xA4);
    EXPECT_EQ(Parse(pushes), kHidParseStackOverflow);
    EXPECT_EQ(Parse({0xB4}), kHidParseStackUnderflow);
}

TEST(HidDescriptorRejects, CollectionsNestedTooDeepUnclosedOrClosedTwice) {
    Bytes deep;
    for (int i = 0; i <= kHidMaxCollectionDepth; ++i) deep.insert(deep.end(), {0xA1, 0x00});
    EXPECT_EQ(Parse(deep), kHidParseStackOverflow);
    EXPECT_EQ(Parse({0xA1, 0x01}), kHidParseUnbalanced);
    EXPECT_EQ(Parse({0xA1, 0x01, 0xC0, 0xC0}), kHidParseStackUnderflow);
}

TEST(HidDescriptorRejects, AbsurdSizesCountsAndReports) {
    EXPECT_EQ(Parse({0x77, 0x00, 0x00, 0x01, 0x00}), kHidParseBadItem);  // Report Size 65536
    EXPECT_EQ(Parse({0x97, 0xFF, 0xFF, 0xFF, 0xFF}), kHidParseBadItem);  // Report Count 2^32-1
    // 256 bits x 4096 elements is far beyond one report.
    EXPECT_EQ(Parse(Joystick({0x76, 0x00, 0x01, 0x96, 0x00, 0x10, 0x09, 0x30, 0x81, 0x02})),
              kHidParseReportTooLong);
    // Fields that are each fine but together overflow their report.
    Bytes many;
    for (int i = 0; i < 9; ++i) {
        many.insert(many.end(), {0x75, 0x80, 0x96, 0x00, 0x01, 0x09, 0x30, 0x81, 0x02});
    }
    EXPECT_EQ(Parse(Joystick(many)), kHidParseReportTooLong);
    EXPECT_EQ(Parse(Bytes(kHidMaxDescriptorBytes + 1, 0x00)), kHidParseTooLong);
}

TEST(HidDescriptorRejects, ReportIdZeroButKeepsFieldsBeforeTheFirstReportId) {
    EXPECT_EQ(Parse({0x85, 0x00}), kHidParseBadItem);
    // X before any Report ID item sits in a report of ID 0, as on Windows;
    // a report whose byte 0 is 0 stands for any report there.
    Parsed p(Joystick({0x09, 0x30, 0x75, 0x08, 0x95, 0x01, 0x81, 0x02,
                       0x85, 0x01, 0x09, 0x31, 0x81, 0x02}));
    ASSERT_EQ(p.result, kHidParseOk);
    uint32_t v = 0;
    EXPECT_EQ(Value(p.d.get(), 0x00010030, {0x00, 0x11}, &v), kHidValueOk);
    EXPECT_EQ(v, 0x11u);
    EXPECT_EQ(Value(p.d.get(), 0x00010030, {0x01, 0x22}, &v), kHidValueOtherReport);
    EXPECT_EQ(Value(p.d.get(), 0x00010031, {0x00, 0x33}, &v), kHidValueOk);
    EXPECT_EQ(v, 0x33u);
}

TEST(HidDescriptorRejects, UnknownGlobalsButNotBrokenUsageRanges) {
    EXPECT_EQ(Parse({0xC4, 0x00}), kHidParseBadItem);  // global tag 12
    // A range that runs backwards, or a minimum with no maximum, names no
    // usage; the rest of the descriptor still counts.
    for (const Bytes& broken : {Bytes{0x19, 0x35, 0x29, 0x30}, Bytes{0x19, 0x30}}) {
        Bytes items = broken;
        for (uint8_t b : {0x75, 0x08, 0x95, 0x01, 0x81, 0x02, 0x09, 0x31, 0x81, 0x02}) items.push_back(b);
        Parsed p(Joystick(items));
        ASSERT_EQ(p.result, kHidParseOk);
        uint32_t v = 0;
        EXPECT_EQ(Value(p.d.get(), 0x00010030, {0x00, 0x11, 0x22}, &v), kHidValueNotFound);
        EXPECT_EQ(Value(p.d.get(), 0x00010031, {0x00, 0x11, 0x22}, &v), kHidValueOk);
        EXPECT_EQ(v, 0x22u);
    }
}

TEST(HidDescriptorRejects, TooManyUsagesForOneMainItem) {
    Bytes usages;
    for (int i = 0; i <= kHidMaxLocalUsages; ++i) usages.insert(usages.end(), {0x09, 0x30});
    EXPECT_EQ(Parse(Joystick(usages)), kHidParseTooMany);
}

// Mutated and random descriptors: whatever parses must extract safely.
TEST(HidDescriptorRejects, MutatedDescriptorsNeverCrashTheParserOrTheLookup) {
    std::mt19937 random(12345);
    const Bytes base = BoxDescriptor();
    int parsed = 0;
    std::unique_ptr<HidDescriptor> d(new HidDescriptor);
    for (int round = 0; round < 20000; ++round) {
        Bytes bytes = base;
        if (round % 4 == 0) {
            bytes.resize(random() % 96);
            for (uint8_t& b : bytes) b = static_cast<uint8_t>(random());
        } else {
            for (int flips = 1 + random() % 4; flips > 0; --flips) {
                bytes[random() % bytes.size()] ^= static_cast<uint8_t>(1u << (random() % 8));
            }
            if (random() % 3 == 0) bytes.resize(random() % bytes.size());
        }
        if (ParseHidDescriptor(bytes.data(), bytes.size(), d.get()) != kHidParseOk) continue;
        ++parsed;
        const uint32_t length = HidReportByteLength(d.get(), 0, kHidInput);
        ASSERT_LE(length, kHidMaxReportBytes + 1);
        Bytes report(length, 0xFF);
        if (length > 0) report[0] = static_cast<uint8_t>(random() % 6);
        for (uint16_t usage = 0x30; usage <= 0x37; ++usage) {
            uint32_t v;
            HidGetUsageValue(d.get(), 0, kHidInput, 0x01, 0, usage, report.data(), report.size(), &v);
        }
    }
    EXPECT_GT(parsed, 1000);  // the mutations reach the lookup, not only the rejections
}

}  // namespace
