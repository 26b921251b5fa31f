// The report descriptor parser: one item at a time, each item's size
// checked against what is left before it is read, then handed to the
// main, global or local handler. Every limit is a named constant of the
// header; a descriptor that breaks one is rejected as a whole.
#include "platform/posix/hid_descriptor.h"

#include <cstring>

namespace {

enum ItemType { kMainItem = 0, kGlobalItem = 1, kLocalItem = 2, kReservedItem = 3 };

struct Item {
    uint8_t type;
    uint8_t tag;
    uint8_t size;    // 0, 1, 2 or 4 data bytes
    uint32_t udata;  // data zero-extended
    int32_t sdata;   // data sign-extended from its size
};

struct GlobalState {
    uint32_t usagePage;
    int32_t logicalMin;
    int32_t logicalMax;
    uint32_t reportSize;
    uint32_t reportId;
    uint32_t reportCount;
};

// A Usage, or a Usage Minimum/Maximum pair, as written. Short usages take
// their page from the Usage Page in force at the main item, not at the
// usage, as HID 1.11 has it.
struct LocalUsage {
    uint32_t first;
    uint32_t last;
    bool firstExtended;  // written with 4 bytes: page included
    bool lastExtended;
};

struct Parser {
    const uint8_t* bytes;
    size_t length;
    size_t pos;
    HidDescriptor* out;

    GlobalState global;
    GlobalState globalStack[kHidGlobalStackDepth];
    int globalDepth;

    LocalUsage local[kHidMaxLocalUsages];
    int localCount;
    bool haveMin, haveMax;
    uint32_t usageMin, usageMax;
    bool minExtended, maxExtended;
    bool inDelimiter;
    bool delimiterUsageTaken;  // only the first usage of a delimiter set counts

    uint16_t open[kHidMaxCollectionDepth];
    int openDepth;
};

HidParseResult FetchItem(Parser* p, Item* item) {
    const size_t left = p->length - p->pos;  // at least 1
    const uint8_t prefix = p->bytes[p->pos];
    if (prefix == 0xFE) {
        // Long item: prefix, data size, tag, data. None are defined and the
        // kernel refuses descriptors that hold one, so we refuse them too.
        if (left < 3 || left - 3 < p->bytes[p->pos + 1]) return kHidParseTruncated;
        return kHidParseLongItem;
    }
    static const uint8_t kSizes[4] = {0, 1, 2, 4};
    item->size = kSizes[prefix & 0x03];
    item->type = (prefix >> 2) & 0x03;
    item->tag = prefix >> 4;
    if (left - 1 < item->size) return kHidParseTruncated;
    const uint8_t* data = p->bytes + p->pos + 1;
    uint32_t u = 0;
    for (int i = item->size - 1; i >= 0; --i) u = (u << 8) | data[i];
    item->udata = u;
    switch (item->size) {
    case 1: item->sdata = static_cast<int8_t>(u); break;
    case 2: item->sdata = static_cast<int16_t>(u); break;
    case 4: item->sdata = static_cast<int32_t>(u); break;
    default: item->sdata = 0; break;
    }
    p->pos += 1 + item->size;
    return kHidParseOk;
}

// Resolves a written usage range against the usage page of the main item.
HidParseResult ResolveUsage(const LocalUsage& usage, uint32_t page, HidUsageSpan* span) {
    span->first = usage.firstExtended ? usage.first : (page << 16) | (usage.first & 0xFFFF);
    span->last = usage.lastExtended ? usage.last : (page << 16) | (usage.last & 0xFFFF);
    // A range never crosses a page and never runs backwards.
    if ((span->first >> 16) != (span->last >> 16) || span->first > span->last) {
        return kHidParseBadItem;
    }
    return kHidParseOk;
}

void ClearLocal(Parser* p) {
    p->localCount = 0;
    p->haveMin = p->haveMax = false;
    p->inDelimiter = false;
    p->delimiterUsageTaken = false;
}

HidParseResult AddLocal(Parser* p, uint32_t first, bool firstExtended, uint32_t last,
                        bool lastExtended) {
    if (p->localCount == kHidMaxLocalUsages) return kHidParseTooMany;
    p->local[p->localCount++] = LocalUsage{first, last, firstExtended, lastExtended};
    if (p->inDelimiter) p->delimiterUsageTaken = true;
    return kHidParseOk;
}

HidParseResult CompleteRange(Parser* p) {
    if (!p->haveMin || !p->haveMax) return kHidParseOk;
    p->haveMin = p->haveMax = false;
    return AddLocal(p, p->usageMin, p->minExtended, p->usageMax, p->maxExtended);
}

HidParseResult ParseGlobal(Parser* p, const Item& item) {
    GlobalState& g = p->global;
    switch (item.tag) {
    case 0:  // Usage Page
        if (item.udata > 0xFFFF) return kHidParseBadItem;
        g.usagePage = item.udata;
        return kHidParseOk;
    case 1:  // Logical Minimum
        g.logicalMin = item.sdata;
        return kHidParseOk;
    case 2:  // Logical Maximum: signed only when the minimum is
        g.logicalMax = g.logicalMin < 0 ? item.sdata : static_cast<int32_t>(item.udata);
        return kHidParseOk;
    case 3:  // Physical Minimum
    case 4:  // Physical Maximum
    case 5:  // Unit Exponent
    case 6:  // Unit: values are handed out raw, so units do not matter here
        return kHidParseOk;
    case 7:  // Report Size
        if (item.udata > kHidMaxReportSize) return kHidParseBadItem;
        g.reportSize = item.udata;
        return kHidParseOk;
    case 8:  // Report ID: 0 is reserved
        if (item.udata == 0 || item.udata > 255) return kHidParseBadItem;
        g.reportId = item.udata;
        p->out->usesReportIds = true;
        return kHidParseOk;
    case 9:  // Report Count
        if (item.udata > kHidMaxReportCount) return kHidParseBadItem;
        g.reportCount = item.udata;
        return kHidParseOk;
    case 10:  // Push
        if (p->globalDepth == kHidGlobalStackDepth) return kHidParseStackOverflow;
        p->globalStack[p->globalDepth++] = g;
        return kHidParseOk;
    case 11:  // Pop
        if (p->globalDepth == 0) return kHidParseStackUnderflow;
        g = p->globalStack[--p->globalDepth];
        return kHidParseOk;
    default:
        return kHidParseBadItem;
    }
}

HidParseResult ParseLocal(Parser* p, const Item& item) {
    const bool extended = item.size == 4;
    switch (item.tag) {
    case 0:  // Usage
        if (p->inDelimiter && p->delimiterUsageTaken) return kHidParseOk;
        return AddLocal(p, item.udata, extended, item.udata, extended);
    case 1:  // Usage Minimum
        if (p->inDelimiter && p->delimiterUsageTaken) return kHidParseOk;
        p->haveMin = true;
        p->usageMin = item.udata;
        p->minExtended = extended;
        return CompleteRange(p);
    case 2:  // Usage Maximum
        if (p->inDelimiter && p->delimiterUsageTaken) return kHidParseOk;
        p->haveMax = true;
        p->usageMax = item.udata;
        p->maxExtended = extended;
        return CompleteRange(p);
    case 10:  // Delimiter: 1 opens a set of alternative usages, 0 closes it
        if (item.udata == 1 && !p->inDelimiter) {
            p->inDelimiter = true;
            p->delimiterUsageTaken = false;
            return kHidParseOk;
        }
        if (item.udata == 0 && p->inDelimiter) {
            p->inDelimiter = false;
            return kHidParseOk;
        }
        return kHidParseBadItem;
    default:  // designators and strings name nothing we hand out
        return kHidParseOk;
    }
}

HidParseResult AddField(Parser* p, HidReportKind kind, uint32_t flags) {
    HidDescriptor* out = p->out;
    const GlobalState& g = p->global;
    const uint32_t bits = g.reportSize * g.reportCount;  // both bounded, no overflow
    uint32_t& reportBits = out->reportBits[kind][g.reportId];
    if (bits > kHidMaxReportBytes * 8 - reportBits) return kHidParseReportTooLong;
    const uint32_t offset = reportBits;
    reportBits += bits;
    // Padding, and any field that names no usage, takes room in its report
    // but can never be asked for.
    if (bits == 0 || p->localCount == 0) return kHidParseOk;

    if (out->fieldCount == kHidMaxFields) return kHidParseTooMany;
    if (p->localCount > kHidMaxUsageSpans - out->usageCount) return kHidParseTooMany;
    HidField& field = out->fields[out->fieldCount];
    field.kind = static_cast<uint8_t>(kind);
    field.reportId = static_cast<uint8_t>(g.reportId);
    field.flags = static_cast<uint16_t>(flags & 0x1FF);
    field.bitOffset = offset;
    field.reportSize = static_cast<uint16_t>(g.reportSize);
    field.reportCount = static_cast<uint16_t>(g.reportCount);
    field.logicalMin = g.logicalMin;
    field.logicalMax = g.logicalMax;
    field.linkCollection = p->openDepth > 0 ? p->open[p->openDepth - 1] : 0;
    field.usageFirst = static_cast<uint16_t>(out->usageCount);
    field.usageCount = static_cast<uint16_t>(p->localCount);
    for (int i = 0; i < p->localCount; ++i) {
        HidParseResult r = ResolveUsage(p->local[i], g.usagePage, &out->usages[out->usageCount + i]);
        if (r != kHidParseOk) return r;
    }
    out->usageCount += p->localCount;
    out->fieldCount++;
    return kHidParseOk;
}

HidParseResult OpenCollection(Parser* p, uint8_t type) {
    HidDescriptor* out = p->out;
    if (p->openDepth == kHidMaxCollectionDepth) return kHidParseStackOverflow;
    if (out->collectionCount == kHidMaxCollections) return kHidParseTooMany;
    HidUsageSpan usage = {0, 0};
    if (p->localCount > 0) {
        HidParseResult r = ResolveUsage(p->local[0], p->global.usagePage, &usage);
        if (r != kHidParseOk) return r;
    }
    const uint16_t index = static_cast<uint16_t>(out->collectionCount++);
    out->collections[index].usage = usage.first;
    out->collections[index].type = type;
    out->collections[index].parent = p->openDepth > 0 ? p->open[p->openDepth - 1] : index;
    if (p->openDepth == 0 && !out->hasTopCollection) {
        out->hasTopCollection = true;
        out->topUsagePage = static_cast<uint16_t>(usage.first >> 16);
        out->topUsage = static_cast<uint16_t>(usage.first & 0xFFFF);
    }
    p->open[p->openDepth++] = index;
    return kHidParseOk;
}

HidParseResult ParseMain(Parser* p, const Item& item) {
    // Locals belong to exactly one main item: an open delimiter set or a
    // lone Usage Minimum/Maximum cannot be completed past it.
    if (p->inDelimiter || p->haveMin || p->haveMax) return kHidParseUnbalanced;
    HidParseResult r = kHidParseOk;
    switch (item.tag) {
    case 8: r = AddField(p, kHidInput, item.udata); break;
    case 9: r = AddField(p, kHidOutput, item.udata); break;
    case 11: r = AddField(p, kHidFeature, item.udata); break;
    case 10: r = OpenCollection(p, static_cast<uint8_t>(item.udata)); break;
    case 12:
        if (p->openDepth == 0) return kHidParseStackUnderflow;
        p->openDepth--;
        break;
    default:  // reserved main items carry nothing we know how to read
        break;
    }
    ClearLocal(p);
    return r;
}

}  // namespace

HidParseResult ParseHidDescriptor(const uint8_t* bytes, size_t length, HidDescriptor* out) {
    memset(out, 0, sizeof *out);
    if (length > kHidMaxDescriptorBytes) return kHidParseTooLong;
    if (length > 0 && !bytes) return kHidParseTruncated;

    Parser parser;
    Parser* p = &parser;
    memset(p, 0, sizeof *p);
    p->bytes = bytes;
    p->length = length;
    p->out = out;

    HidParseResult r = kHidParseOk;
    while (r == kHidParseOk && p->pos < p->length) {
        Item item;
        r = FetchItem(p, &item);
        if (r != kHidParseOk) break;
        switch (item.type) {
        case kMainItem: r = ParseMain(p, item); break;
        case kGlobalItem: r = ParseGlobal(p, item); break;
        case kLocalItem: r = ParseLocal(p, item); break;
        default: break;  // reserved type: skipped, as the kernel does
        }
    }
    if (r == kHidParseOk && (p->openDepth != 0 || p->inDelimiter)) r = kHidParseUnbalanced;
    if (r == kHidParseOk && out->usesReportIds) {
        // With report IDs every report starts with its ID; a field laid
        // out before the first Report ID item would belong to no report.
        for (int kind = 0; kind < kHidReportKinds; ++kind) {
            if (out->reportBits[kind][0] != 0) r = kHidParseMixedReportIds;
        }
    }
    if (r != kHidParseOk) memset(out, 0, sizeof *out);
    return r;
}

uint32_t HidReportByteLength(const HidDescriptor* descriptor, HidReportKind kind) {
    uint32_t longest = 0;
    for (int id = 0; id < 256; ++id) {
        const uint32_t bytes = (descriptor->reportBits[kind][id] + 7) / 8;
        if (bytes > longest) longest = bytes;
    }
    return longest == 0 ? 0 : longest + 1;
}

namespace {

bool IsButtonField(const HidField& field) {
    return !(field.flags & kHidMainVariable) || field.reportSize == 1;
}

// The first element of a variable field that carries usage; elements past
// the last usage repeat it, as HID 1.11 has it. -1 if none.
long ElementOfUsage(const HidDescriptor* descriptor, const HidField& field, uint32_t usage) {
    uint32_t base = 0;
    for (int i = 0; i < field.usageCount; ++i) {
        const HidUsageSpan& span = descriptor->usages[field.usageFirst + i];
        if (usage >= span.first && usage <= span.last) {
            const uint32_t element = base + (usage - span.first);
            return element < field.reportCount ? static_cast<long>(element) : -1;
        }
        base += span.last - span.first + 1;
    }
    return -1;
}

uint32_t ExpandedUsages(const HidDescriptor* descriptor, const HidField& field) {
    uint32_t total = 0;
    for (int i = 0; i < field.usageCount; ++i) {
        const HidUsageSpan& span = descriptor->usages[field.usageFirst + i];
        total += span.last - span.first + 1;
    }
    return total;
}

}  // namespace

void HidCountCaps(const HidDescriptor* descriptor, HidReportKind kind, uint16_t* buttonCaps,
                  uint16_t* valueCaps, uint16_t* dataIndices) {
    uint32_t buttons = 0, values = 0, indices = 0;
    for (int i = 0; i < descriptor->fieldCount; ++i) {
        const HidField& field = descriptor->fields[i];
        if (field.kind != kind) continue;
        if (IsButtonField(field)) {
            buttons += field.usageCount;
        } else {
            values += field.usageCount;
        }
        const uint32_t usages = ExpandedUsages(descriptor, field);
        const bool variable = (field.flags & kHidMainVariable) != 0;
        indices += variable && usages > field.reportCount ? field.reportCount : usages;
    }
    *buttonCaps = static_cast<uint16_t>(buttons > 0xFFFF ? 0xFFFF : buttons);
    *valueCaps = static_cast<uint16_t>(values > 0xFFFF ? 0xFFFF : values);
    *dataIndices = static_cast<uint16_t>(indices > 0xFFFF ? 0xFFFF : indices);
}

HidValueResult HidGetUsageValue(const HidDescriptor* descriptor, HidReportKind kind,
                                uint16_t usagePage, uint16_t linkCollection, uint16_t usage,
                                const uint8_t* report, size_t length, uint32_t* value) {
    *value = 0;
    const uint32_t expected = HidReportByteLength(descriptor, kind);
    if (!report || length != expected) return kHidValueWrongLength;
    if (expected == 0) return kHidValueNotFound;

    const uint32_t wanted = (static_cast<uint32_t>(usagePage) << 16) | usage;
    const uint8_t reportId = report[0];
    bool inOtherReport = false;
    for (int i = 0; i < descriptor->fieldCount; ++i) {
        const HidField& field = descriptor->fields[i];
        if (field.kind != kind || IsButtonField(field)) continue;
        if (linkCollection != 0 && field.linkCollection != linkCollection) continue;
        const long element = ElementOfUsage(descriptor, field, wanted);
        if (element < 0) continue;
        if (field.reportId != reportId) {
            inOtherReport = true;
            continue;
        }
        // Bit 0 of the data is the lowest bit of byte 1: byte 0 is the ID.
        const size_t start = 8 + field.bitOffset + static_cast<size_t>(element) * field.reportSize;
        const unsigned width = field.reportSize < 32 ? field.reportSize : 32;
        if (start + width > length * 8) return kHidValueWrongLength;  // cannot happen by layout
        uint32_t raw = 0;
        for (unsigned b = 0; b < width; ++b) {
            const size_t bit = start + b;
            if ((report[bit >> 3] >> (bit & 7)) & 1) raw |= 1u << b;
        }
        *value = raw;
        return kHidValueOk;
    }
    return inOtherReport ? kHidValueOtherReport : kHidValueNotFound;
}
