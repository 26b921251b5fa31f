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

// A Usage, or a Usage Minimum/Maximum pair, with its page. A short usage
// takes the Usage Page in force where the usage is written, not at the
// main item: Windows reads the X and Y of a gamepad that sets the
// Simulation page for its pedals after them as Generic Desktop (Wine's
// parser, written against Windows, does the same). A range takes the page
// of whichever of its two items came last.
struct LocalUsage {
    uint16_t page;
    uint16_t first;
    uint16_t last;
    bool empty;  // a range that runs backwards names no usage
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
    uint16_t usageMin, usageMax;
    uint16_t rangePage;  // of the later of the two
    bool inDelimiter;
    bool delimiterUsageTaken;  // only the first usage of a delimiter set counts

    uint16_t open[kHidMaxCollectionDepth];
    int openDepth;
};

// The page of a usage item: its own upper half when written with 4 bytes
// (and not 0), else the Usage Page in force.
uint16_t PageOf(const Parser* p, uint32_t data, uint8_t size) {
    if (size == 4 && (data >> 16) != 0) return static_cast<uint16_t>(data >> 16);
    return static_cast<uint16_t>(p->global.usagePage);
}

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

void ClearLocal(Parser* p) {
    p->localCount = 0;
    p->haveMin = p->haveMax = false;
    p->inDelimiter = false;
    p->delimiterUsageTaken = false;
}

HidParseResult AddLocal(Parser* p, uint16_t page, uint16_t first, uint16_t last) {
    if (p->localCount == kHidMaxLocalUsages) return kHidParseTooMany;
    p->local[p->localCount++] = LocalUsage{page, first, last, last < first};
    if (p->inDelimiter) p->delimiterUsageTaken = true;
    return kHidParseOk;
}

HidParseResult CompleteRange(Parser* p) {
    if (!p->haveMin || !p->haveMax) return kHidParseOk;
    p->haveMin = p->haveMax = false;
    return AddLocal(p, p->rangePage, p->usageMin, p->usageMax);
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
    const uint16_t page = PageOf(p, item.udata, item.size);
    const uint16_t id = static_cast<uint16_t>(item.udata & 0xFFFF);
    switch (item.tag) {
    case 0:  // Usage
        if (p->inDelimiter && p->delimiterUsageTaken) return kHidParseOk;
        return AddLocal(p, page, id, id);
    case 1:  // Usage Minimum
        if (p->inDelimiter && p->delimiterUsageTaken) return kHidParseOk;
        p->haveMin = true;
        p->usageMin = id;
        p->rangePage = page;
        return CompleteRange(p);
    case 2:  // Usage Maximum
        if (p->inDelimiter && p->delimiterUsageTaken) return kHidParseOk;
        p->haveMax = true;
        p->usageMax = id;
        p->rangePage = page;
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

// The top-level collection that main items belong to now: the open one,
// or between collections the last one (the first before any).
int CurrentTop(const Parser* p) {
    return p->out->topCount > 0 ? p->out->topCount - 1 : 0;
}

void MarkReport(HidTopCollection* top, HidReportKind kind, uint32_t reportId) {
    top->reportIds[kind][reportId >> 3] |= static_cast<uint8_t>(1u << (reportId & 7));
}

HidParseResult AddField(Parser* p, HidReportKind kind, uint32_t flags) {
    HidDescriptor* out = p->out;
    const GlobalState& g = p->global;
    const uint32_t bits = g.reportSize * g.reportCount;  // both bounded, no overflow
    uint32_t& reportBits = out->reportBits[kind][g.reportId];
    if (bits > kHidMaxReportBytes * 8 - reportBits) return kHidParseReportTooLong;
    const uint32_t offset = reportBits;
    reportBits += bits;
    const int top = CurrentTop(p);
    // Every main item puts its report in the collection's, even one of no
    // bits: that kind's reports then have their ID byte at least.
    MarkReport(&out->tops[top], kind, g.reportId);
    // Padding, and a field of no elements or that names no usage, takes
    // room in its report but can never be asked for. A field of elements
    // 0 bits wide is still a field.
    if (g.reportCount == 0 || p->localCount == 0) return kHidParseOk;

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
    field.top = static_cast<uint8_t>(top);
    field.usageFirst = static_cast<uint16_t>(out->usageCount);
    // A variable item's usages name its elements in order; the ones past
    // its last element name nothing, and Windows discards them ("usages in
    // the report descriptor that are not needed are discarded"). An array
    // item's usages are what its elements may hold: all of them count.
    const bool variable = (flags & kHidMainVariable) != 0;
    uint32_t element = 0;
    int kept = 0;
    for (int i = 0; i < p->localCount; ++i) {
        const LocalUsage& u = p->local[i];
        // Usage 0 is Undefined on every page: an item that names only it is
        // padding, with no cap and no data index (as Wine's parser, written
        // against Windows, counts it).
        if (u.empty || (u.first == 0 && u.last == 0)) continue;
        if (variable && element >= g.reportCount) break;
        out->usages[out->usageCount + kept] =
            HidUsageSpan{(static_cast<uint32_t>(u.page) << 16) | u.first,
                         (static_cast<uint32_t>(u.page) << 16) | u.last};
        element += static_cast<uint32_t>(u.last - u.first) + 1;
        ++kept;
    }
    if (kept == 0) return kHidParseOk;
    field.usageCount = static_cast<uint16_t>(kept);
    out->usageCount += kept;
    out->fieldCount++;
    return kHidParseOk;
}

HidParseResult OpenCollection(Parser* p, uint8_t type) {
    HidDescriptor* out = p->out;
    if (p->openDepth == kHidMaxCollectionDepth) return kHidParseStackOverflow;
    if (out->collectionCount == kHidMaxCollections) return kHidParseTooMany;
    uint32_t usage = 0;
    for (int i = 0; i < p->localCount; ++i) {
        if (!p->local[i].empty) {
            usage = (static_cast<uint32_t>(p->local[i].page) << 16) | p->local[i].first;
            break;
        }
    }
    const uint16_t index = static_cast<uint16_t>(out->collectionCount++);
    out->collections[index].usage = usage;
    out->collections[index].type = type;
    out->collections[index].parent = p->openDepth > 0 ? p->open[p->openDepth - 1] : index;
    if (p->openDepth == 0) {
        // Main items before the first collection belong to it.
        const int t = out->hasTopCollection ? out->topCount : 0;
        if (t == kHidMaxTopCollections) return kHidParseTooMany;
        out->topCount = t + 1;
        out->hasTopCollection = true;
        HidTopCollection& top = out->tops[t];
        top.usagePage = static_cast<uint16_t>(usage >> 16);
        top.usage = static_cast<uint16_t>(usage & 0xFFFF);
        top.firstCollection = index;
    }
    out->tops[CurrentTop(p)].collectionCount++;
    p->open[p->openDepth++] = index;
    return kHidParseOk;
}

HidParseResult ParseMain(Parser* p, const Item& item) {
    // Locals belong to exactly one main item: an open delimiter set cannot
    // be completed past it. A lone Usage Minimum or Maximum names nothing.
    if (p->inDelimiter) return kHidParseUnbalanced;
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
    if (r != kHidParseOk) {
        memset(out, 0, sizeof *out);
        return r;
    }
    // Fields laid out before a Report ID item on a device with report IDs
    // are in a report of ID 0, as Windows (and Wine) keep them.
    if (out->topCount == 0) out->topCount = 1;
    for (int t = 0; t < out->topCount; ++t) {
        HidTopCollection& top = out->tops[t];
        for (int kind = 0; kind < kHidReportKinds; ++kind) {
            bool any = false;
            uint32_t longest = 0;
            for (int id = 0; id < 256; ++id) {
                if (!(top.reportIds[kind][id >> 3] & (1u << (id & 7)))) continue;
                any = true;
                const uint32_t used = (out->reportBits[kind][id] + 7) / 8;
                if (used > longest) longest = used;
            }
            top.reportLength[kind] = any ? longest + 1 : 0;
        }
    }
    return r;
}

uint32_t HidReportByteLength(const HidDescriptor* descriptor, int top, HidReportKind kind) {
    if (top < 0 || top >= descriptor->topCount) return 0;
    return descriptor->tops[top].reportLength[kind];
}

int HidInputReportOwner(const HidDescriptor* descriptor, uint8_t reportId) {
    if (!descriptor->usesReportIds) return 0;
    for (int t = 0; t < descriptor->topCount; ++t) {
        if (descriptor->tops[t].reportIds[kHidInput][reportId >> 3] & (1u << (reportId & 7))) return t;
    }
    return 0;
}

namespace {

bool IsButtonField(const HidField& field) {
    return !(field.flags & kHidMainVariable) || field.reportSize == 1;
}

// The first element of a variable field that carries usage; elements past
// the last usage repeat it, as HID 1.11 has it. A usage named twice in one
// field is found where it was named last, as Windows lists a field's
// usages last first. -1 if none.
long ElementOfUsage(const HidDescriptor* descriptor, const HidField& field, uint32_t usage) {
    uint32_t base = 0;
    long found = -1;
    for (int i = 0; i < field.usageCount; ++i) {
        const HidUsageSpan& span = descriptor->usages[field.usageFirst + i];
        if (usage >= span.first && usage <= span.last) {
            const uint32_t element = base + (usage - span.first);
            if (element < field.reportCount) found = static_cast<long>(element);
        }
        base += span.last - span.first + 1;
    }
    return found;
}

// A variable field of values (not buttons) of this kind in this top-level
// collection, in the link collection asked for (0: any; numbered from the
// top-level collection, which is 0).
bool IsValueField(const HidDescriptor* descriptor, const HidField& field, int top,
                  HidReportKind kind, uint16_t linkCollection) {
    return field.kind == kind && field.top == top && !IsButtonField(field) &&
           (linkCollection == 0 ||
            field.linkCollection == descriptor->tops[top].firstCollection + linkCollection);
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

void HidCountCaps(const HidDescriptor* descriptor, int top, HidReportKind kind,
                  uint16_t* buttonCaps, uint16_t* valueCaps, uint16_t* dataIndices) {
    uint32_t buttons = 0, values = 0, indices = 0;
    for (int i = 0; i < descriptor->fieldCount; ++i) {
        const HidField& field = descriptor->fields[i];
        if (field.kind != kind || field.top != top) continue;
        if (IsButtonField(field)) {
            buttons += field.usageCount;
        } else {
            values += field.usageCount;
        }
        // A range has a data index for each usage, even where the field
        // has fewer elements than the range has usages.
        indices += ExpandedUsages(descriptor, field);
    }
    *buttonCaps = static_cast<uint16_t>(buttons > 0xFFFF ? 0xFFFF : buttons);
    *valueCaps = static_cast<uint16_t>(values > 0xFFFF ? 0xFFFF : values);
    *dataIndices = static_cast<uint16_t>(indices > 0xFFFF ? 0xFFFF : indices);
}

HidValueResult HidGetUsageValue(const HidDescriptor* descriptor, int top, HidReportKind kind,
                                uint16_t usagePage, uint16_t linkCollection, uint16_t usage,
                                const uint8_t* report, size_t length, uint32_t* value) {
    *value = 0;
    if (top < 0 || top >= descriptor->topCount) return kHidValueNotFound;
    const uint32_t expected = HidReportByteLength(descriptor, top, kind);
    if (!report || length != expected) return kHidValueWrongLength;
    if (expected == 0) return kHidValueNotFound;

    const uint32_t wanted = (static_cast<uint32_t>(usagePage) << 16) | usage;
    const uint8_t reportId = report[0];
    // On a device with report IDs, Windows takes a report whose byte 0 is
    // 0 for whichever report holds the usage.
    const bool anyReport = descriptor->usesReportIds && reportId == 0;
    // The first pass searches only the fields of the report at hand; the
    // second, taken only on a miss, tells a usage that lives in another
    // report from one that is nowhere.
    for (int pass = 0; pass < 2; ++pass) {
        const bool thisReport = pass == 0;
        for (int i = 0; i < descriptor->fieldCount; ++i) {
            const HidField& field = descriptor->fields[i];
            if ((anyReport || field.reportId == reportId) != thisReport ||
                !IsValueField(descriptor, field, top, kind, linkCollection)) {
                continue;
            }
            const long element = ElementOfUsage(descriptor, field, wanted);
            if (element < 0) continue;
            if (!thisReport) return kHidValueOtherReport;
            // A value is 32 bits; Windows' HidP_GetUsageValue does not hand
            // out part of a wider field (Wine answers BUFFER_TOO_SMALL).
            if (field.reportSize > 32) return kHidValueTooWide;
            const unsigned width = field.reportSize;
            if (width == 0) return kHidValueOk;
            // Bit 0 of the data is the lowest bit of byte 1: byte 0 is the ID.
            const size_t start =
                8 + field.bitOffset + static_cast<size_t>(element) * field.reportSize;
            if (start + width > length * 8) return kHidValueWrongLength;  // cannot happen by layout
            // At most 32 bits from a bit offset of up to 7: five bytes at
            // most, gathered little-endian, then shifted and masked.
            uint64_t window = 0;
            for (size_t byte = (start + width - 1) >> 3; byte + 1 > (start >> 3); --byte) {
                window = (window << 8) | report[byte];
            }
            window >>= start & 7;
            *value = static_cast<uint32_t>(width == 32 ? window : window & ((1ull << width) - 1));
            return kHidValueOk;
        }
    }
    return kHidValueNotFound;
}
