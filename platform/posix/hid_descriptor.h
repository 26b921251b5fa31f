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
constexpr int kHidMaxCollectionDepth = 64;       // nested Collection items; real ones reach 21
constexpr int kHidMaxCollections = 256;
constexpr int kHidMaxTopCollections = 64;        // each one an interface of its own
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
// Only the usages that name an element of their field are kept: Windows
// discards the rest of a variable item's list.
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
    uint8_t top;              // the top-level collection it belongs to
};

struct HidCollection {
    uint32_t usage;  // page in the high 16 bits
    uint8_t type;    // 0 physical, 1 application, 2 logical, ...
    uint16_t parent; // index of the enclosing collection; itself at top level
};

// A collection nested in no other, Application or not: what Windows makes
// one device interface of, with caps and report lengths of its own.
struct HidTopCollection {
    uint16_t usagePage;
    uint16_t usage;
    uint16_t firstCollection;  // its own link collection; the nested ones follow
    uint16_t collectionCount;
    // The report IDs that its main items use, a bit each, per kind.
    uint8_t reportIds[kHidReportKinds][32];
    // HidReportByteLength of each kind, worked out once at the end of the
    // parse: every value lookup checks the caller's length against it.
    uint32_t reportLength[kHidReportKinds];
};

struct HidDescriptor {
    bool usesReportIds;
    bool hasTopCollection;  // a Collection item at the top; else one made-up
                            // top-level collection of usage 0 holds everything
    int topCount;           // at least 1
    HidTopCollection tops[kHidMaxTopCollections];
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
    kHidParseUnbalanced,       // open collection or delimiter at the end
};

// Parses length bytes into *out. On any result but kHidParseOk *out holds
// nothing usable. Never reads outside bytes[0, length).
HidParseResult ParseHidDescriptor(const uint8_t* bytes, size_t length, HidDescriptor* out);

// The functions below answer for one top-level collection, top (0 to
// topCount - 1), as Windows answers through that collection's interface.

// The length a report of this kind has in a buffer, as Windows counts it:
// the longest report's data bytes plus one byte for the report ID (which
// is there, as 0, even on a device without report IDs); 0 with no main
// item of the kind.
uint32_t HidReportByteLength(const HidDescriptor* descriptor, int top, HidReportKind kind);

// The top-level collection whose input reports carry this ID (byte 0 of
// the report): the first that declares it, else the first of all, so that
// a device with one collection gets every report it sends.
int HidInputReportOwner(const HidDescriptor* descriptor, uint8_t reportId);

// The number of capability records of one kind, counted as Windows does:
// one per usage or usage range; a variable field of one-bit elements and
// an array field are buttons, every other variable field is a value. A
// range counts a data index for each of its usages.
void HidCountCaps(const HidDescriptor* descriptor, int top, HidReportKind kind,
                  uint16_t* buttonCaps, uint16_t* valueCaps, uint16_t* dataIndices);

enum HidValueResult {
    kHidValueOk = 0,
    kHidValueWrongLength,  // length is not HidReportByteLength for the kind
    kHidValueOtherReport,  // the usage exists, but not in the report whose ID is byte 0
    kHidValueNotFound,     // no value field of this kind has the usage
    kHidValueTooWide,      // the field is wider than the 32 bits a value holds
};

// The raw value of a usage in a report (report ID in byte 0, where 0 on a
// device with report IDs stands for any of them): the bits as the report
// holds them, zero-extended, not scaled and not sign-extended; for a value
// array the first element. linkCollection 0 searches the whole top-level
// collection, another number (1 for the first collection nested in it)
// only the fields directly in that collection. *value is set on every
// result (0 unless kHidValueOk).
HidValueResult HidGetUsageValue(const HidDescriptor* descriptor, int top, HidReportKind kind,
                                uint16_t usagePage, uint16_t linkCollection, uint16_t usage,
                                const uint8_t* report, size_t length, uint32_t* value);
