// A report descriptor seen as items, apart from any parser under test: its
// top-level collections, each as a descriptor of its own (the global state
// in force where it starts, then its bytes), the input report IDs of each,
// and the usages it names, for the differential test to ask about.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

typedef std::vector<uint8_t> Bytes;

struct UsageQuery {
    uint16_t page;
    uint16_t usage;
    uint16_t link;
    bool operator==(const UsageQuery& o) const {
        return page == o.page && usage == o.usage && link == o.link;
    }
};

struct TopCollection {
    uint32_t usage;               // page in the high 16 bits
    Bytes alone;                  // this collection as a descriptor of its own
    std::vector<int> inputIds;    // input report IDs its fields use (0: none)
    std::vector<uint32_t> inputBits;  // data bits of each of those reports
};

struct DescriptorOutline {
    bool wellFormed;      // items end on the boundary, collections balance
    bool hasDelimiter;
    bool hasExtendedUsage;
    bool pageAfterUsage;  // a Usage Page item between a short usage and its main item
    bool hasPushPop;
    bool usesReportIds;
    // A main item names more usages at once than Wine 8's parser makes room
    // for: it grows its array of caps by half, once per item, and refuses
    // the descriptor when that is not enough.
    bool wineCapsOverflow;
    // Variable main items with more usages than elements, per report kind
    // (input, output, feature), and the usages they name.
    bool overfull[3];
    std::vector<UsageQuery> overfullUsages;
    std::vector<TopCollection> collections;
    std::vector<UsageQuery> usages;  // every usage named, read both ways where a page moved
};

// Walks the items of a descriptor. Never reads outside it.
DescriptorOutline OutlineDescriptor(const Bytes& descriptor);

std::string ToHex(const Bytes& bytes);
