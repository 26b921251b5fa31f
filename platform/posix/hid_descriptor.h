// The HID report descriptor, parsed: a pure function from the descriptor's
// bytes to the fields of every report, and the extraction of one raw value
// from a report by its usage. No I/O and no Win32 types, so the parser can
// be tested and fuzzed on its own.
#pragma once

#include <cstddef>
#include <cstdint>

// Limits on what a descriptor may ask of us. A descriptor beyond any of
// them is rejected as a whole, never half parsed.
constexpr size_t kHidMaxDescriptorBytes = 4096;  // the kernel's limit too
constexpr int kHidGlobalStackDepth = 4;          // Push without Pop
constexpr int kHidMaxCollectionDepth = 16;       // nested Collection items
constexpr int kHidMaxCollections = 256;
constexpr int kHidMaxFields = 512;               // main items with usages
constexpr int kHidMaxUsageSpans = 2048;          // usages and ranges, all fields
constexpr int kHidMaxLocalUsages = 256;          // usages and ranges per main item
constexpr uint32_t kHidMaxReportSize = 256;      // bits of one element
constexpr uint32_t kHidMaxReportCount = 4096;    // elements of one main item
constexpr uint32_t kHidMaxReportBytes = 4096;    // data bytes of one report, ID excluded

enum HidReportKind { kHidInput = 0, kHidOutput = 1, kHidFeature = 2 };
constexpr int kHidReportKinds = 3;

// Main item data bits that the parser and the value lookup care about.
constexpr uint32_t kHidMainConstant = 0x01;
constexpr uint32_t kHidMainVariable = 0x02;

// Usages first..last inclusive, each with its page in the high 16 bits.
struct HidUsageSpan {
    uint32_t first;
    uint32_t last;
};

// One Input, Output or Feature main item that names usages.
struct HidField {
    uint8_t kind;             // HidReportKind
    uint8_t reportId;         // 0 on a device without report IDs
    uint16_t flags;           // the main item's data bits
    uint32_t bitOffset;       // from the first bit after the report ID byte
    uint16_t reportSize;      // bits per element
    uint16_t reportCount;     // elements
    int32_t logicalMin;
    int32_t logicalMax;
    uint16_t linkCollection;  // innermost enclosing collection
    uint16_t usageFirst;      // spans in HidDescriptor::usages
    uint16_t usageCount;
};

struct HidCollection {
    uint32_t usage;  // page in the high 16 bits
    uint8_t type;    // 0 physical, 1 application, 2 logical, ...
    uint16_t parent; // index of the enclosing collection; itself at top level
};

struct HidDescriptor {
    bool usesReportIds;
    bool hasTopCollection;
    uint16_t topUsagePage;  // of the first top-level collection
    uint16_t topUsage;
    uint32_t reportBits[kHidReportKinds][256];  // data bits per report ID
    int fieldCount;
    int collectionCount;
    int usageCount;
    HidField fields[kHidMaxFields];
    HidCollection collections[kHidMaxCollections];
    HidUsageSpan usages[kHidMaxUsageSpans];
};

enum HidParseResult {
    kHidParseOk = 0,
    kHidParseTooLong,          // descriptor longer than kHidMaxDescriptorBytes
    kHidParseTruncated,        // an item runs past the end
    kHidParseLongItem,         // long items are reserved; the kernel refuses them too
    kHidParseBadItem,          // unknown global item or a value out of its range
    kHidParseStackOverflow,    // Push or Collection nested too deep
    kHidParseStackUnderflow,   // Pop or End Collection with nothing open
    kHidParseTooMany,          // fields, collections or usages beyond their limits
    kHidParseReportTooLong,    // a report beyond kHidMaxReportBytes
    kHidParseUnbalanced,       // open collection, delimiter or usage range at the end
    kHidParseMixedReportIds,   // fields both with and without a report ID
};

// Parses length bytes into *out. On any result but kHidParseOk *out holds
// nothing usable. Never reads outside bytes[0, length).
HidParseResult ParseHidDescriptor(const uint8_t* bytes, size_t length, HidDescriptor* out);

// The length a report of this kind has in a buffer, as Windows counts it:
// the longest report's data bytes plus one byte for the report ID (which
// is there, as 0, even on a device without report IDs); 0 with no report.
uint32_t HidReportByteLength(const HidDescriptor* descriptor, HidReportKind kind);

// The number of capability records of one kind, counted as Windows does:
// one per usage or usage range; a variable field of one-bit elements and
// an array field are buttons, every other variable field is a value.
void HidCountCaps(const HidDescriptor* descriptor, HidReportKind kind, uint16_t* buttonCaps,
                  uint16_t* valueCaps, uint16_t* dataIndices);

enum HidValueResult {
    kHidValueOk = 0,
    kHidValueWrongLength,  // length is not HidReportByteLength for the kind
    kHidValueOtherReport,  // the usage exists, but not in the report whose ID is byte 0
    kHidValueNotFound,     // no value field of this kind has the usage
};

// The raw value of a usage in a report (report ID in byte 0): the bits as
// the report holds them, zero-extended, not scaled and not sign-extended;
// for a value array the first element; for a field wider than 32 bits the
// low 32. linkCollection 0 searches the whole descriptor, another number
// only the fields directly in that collection. *value is set on every
// result (0 unless kHidValueOk).
HidValueResult HidGetUsageValue(const HidDescriptor* descriptor, HidReportKind kind,
                                uint16_t usagePage, uint16_t linkCollection, uint16_t usage,
                                const uint8_t* report, size_t length, uint32_t* value);
