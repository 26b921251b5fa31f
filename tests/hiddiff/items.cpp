#include "hiddiff/items.h"

#include <algorithm>
#include <cstring>

namespace {

struct Item {
    size_t begin, end;
    uint8_t type, tag, size;
    uint32_t value;
};

bool NextItem(const Bytes& d, size_t pos, Item* item) {
    const uint8_t prefix = d[pos];
    if (prefix == 0xFE) {
        if (d.size() - pos < 3 || d.size() - pos - 3 < d[pos + 1]) return false;
        *item = Item{pos, pos + 3 + d[pos + 1], 3, 0xF, 0, 0};
        return true;
    }
    static const uint8_t kSizes[4] = {0, 1, 2, 4};
    const uint8_t size = kSizes[prefix & 3];
    if (d.size() - pos - 1 < size) return false;
    uint32_t v = 0;
    for (int i = size - 1; i >= 0; --i) v = (v << 8) | d[pos + 1 + i];
    *item = Item{pos, pos + 1 + size, static_cast<uint8_t>((prefix >> 2) & 3),
                 static_cast<uint8_t>(prefix >> 4), size, v};
    return true;
}

// The last item seen of each global tag 0..9, as bytes, so that a state
// can be written out again.
struct Globals {
    Bytes last[10];
    uint32_t page = 0, reportSize = 0, reportCount = 0, reportId = 0;
};

void AppendGlobals(const Globals& g, Bytes* out) {
    for (const Bytes& item : g.last) out->insert(out->end(), item.begin(), item.end());
}

void AddQuery(std::vector<UsageQuery>* list, UsageQuery q) {
    if (std::find(list->begin(), list->end(), q) == list->end()) list->push_back(q);
}

}  // namespace

DescriptorOutline OutlineDescriptor(const Bytes& d) {
    DescriptorOutline o{};
    o.wellFormed = true;
    Globals g;
    std::vector<Globals> stack;
    int depth = 0;
    size_t lastMainEnd = 0;
    Bytes prefixAtLastMain;  // the global state written out, at lastMainEnd
    std::vector<Globals> stackAtLastMain;
    size_t tlcBegin = 0;
    Bytes tlcPrefix;
    // Locals since the last main item: written usage and the page then.
    struct Local { uint32_t first, last; uint8_t size; uint32_t pageThen; };
    std::vector<Local> locals;
    bool haveMin = false;
    // Wine's count of usage entries for the next main item, and its caps
    // array per kind.
    uint32_t wineEntries = 0;
    bool wineRange = false;
    uint32_t wineCaps[3] = {0, 0, 0}, wineRoom[3] = {0, 0, 0};
    uint32_t usageMin = 0;
    uint8_t minSize = 0;
    uint32_t minPage = 0;

    auto snapshot = [&](Bytes* out) {
        out->clear();
        for (const Globals& s : stack) {
            AppendGlobals(s, out);
            out->push_back(0xA4);  // Push
        }
        AppendGlobals(g, out);
    };
    snapshot(&prefixAtLastMain);

    size_t pos = 0;
    while (pos < d.size()) {
        Item it;
        if (!NextItem(d, pos, &it)) {
            o.wellFormed = false;
            break;
        }
        pos = it.end;
        if (it.type == 1 && it.tag < 10) {  // global
            g.last[it.tag].assign(d.begin() + it.begin, d.begin() + it.end);
            if (it.tag == 0) {
                g.page = it.value & 0xFFFF;
                for (const Local& l : locals) {
                    if (l.size < 4) o.pageAfterUsage = true;
                }
            }
            if (it.tag == 7) g.reportSize = it.value;
            if (it.tag == 8) {
                g.reportId = it.value;
                o.usesReportIds = true;
            }
            if (it.tag == 9) g.reportCount = it.value;
        } else if (it.type == 1 && it.tag == 10) {
            o.hasPushPop = true;
            stack.push_back(g);
        } else if (it.type == 1 && it.tag == 11) {
            o.hasPushPop = true;
            if (!stack.empty()) {
                g = stack.back();
                stack.pop_back();
            }
        } else if (it.type == 2) {  // local
            if (it.size == 4 && it.tag <= 2) o.hasExtendedUsage = true;
            if (it.tag == 10) o.hasDelimiter = true;
            if (it.tag == 0) {
                if (wineRange) wineEntries = 0;
                wineRange = false;
                ++wineEntries;
            } else if (it.tag == 1 || it.tag == 2) {
                wineRange = true;
                wineEntries = 1;
            }
            if (it.tag == 0) locals.push_back(Local{it.value, it.value, it.size, g.page});
            if (it.tag == 1) {
                haveMin = true;
                usageMin = it.value;
                minSize = it.size;
                minPage = g.page;
            }
            if (it.tag == 2 && haveMin) {
                locals.push_back(Local{usageMin, it.value, std::max(minSize, it.size), minPage});
                haveMin = false;
            }
        } else if (it.type == 0) {  // main
            if (it.tag == 10) {
                if (depth == 0) {
                    // Each collection is parsed on its own descriptor.
                    if (!o.collections.empty()) {
                        for (int k = 0; k < 3; ++k) wineCaps[k] = wineRoom[k] = 0;
                    }
                    tlcBegin = lastMainEnd;
                    tlcPrefix = prefixAtLastMain;
                    TopCollection top{};
                    uint32_t usage = 0;
                    if (!locals.empty()) {
                        const Local& l = locals.front();
                        usage = l.size == 4 ? l.first : (g.page << 16) | (l.first & 0xFFFF);
                    }
                    top.usage = usage;
                    o.collections.push_back(top);
                }
                ++depth;
            } else if (it.tag == 12) {
                if (depth == 0) {
                    o.wellFormed = false;
                    break;
                }
                if (--depth == 0 && !o.collections.empty()) {
                    Bytes& alone = o.collections.back().alone;
                    alone = tlcPrefix;
                    alone.insert(alone.end(), d.begin() + tlcBegin, d.begin() + it.end);
                }
            } else if ((it.tag == 8) && !o.collections.empty()) {
                TopCollection& top = o.collections.back();
                const int id = static_cast<int>(g.reportId & 0xFF);
                auto at = std::find(top.inputIds.begin(), top.inputIds.end(), id);
                const uint64_t bits = uint64_t{g.reportSize} * g.reportCount;
                if (at == top.inputIds.end()) {
                    top.inputIds.push_back(id);
                    top.inputBits.push_back(static_cast<uint32_t>(std::min<uint64_t>(bits, 1 << 20)));
                } else {
                    uint32_t& b = top.inputBits[at - top.inputIds.begin()];
                    b = static_cast<uint32_t>(std::min<uint64_t>(b + bits, 1 << 20));
                }
            }
            if ((it.tag == 8 || it.tag == 9 || it.tag == 11) && g.reportCount != 0) {
                const int k = it.tag == 8 ? 0 : (it.tag == 9 ? 1 : 2);
                const uint32_t index = wineCaps[k] + std::max<uint32_t>(1, wineEntries);
                if (index >= wineRoom[k]) {
                    wineRoom[k] = wineRoom[k] ? wineRoom[k] * 3 / 2 : 32;
                    if (wineRoom[k] <= index) o.wineCapsOverflow = true;
                }
                wineCaps[k] += std::max<uint32_t>(1, wineEntries);
            }
            if (it.tag == 8 || it.tag == 9 || it.tag == 10 || it.tag == 11 || it.tag == 12) {
                wineEntries = 0;
                wineRange = false;
            }
            if (it.tag == 8 || it.tag == 9 || it.tag == 11) {
                uint64_t named = 0;
                for (const Local& l : locals) named += (l.last >= l.first ? l.last - l.first : 0) + 1;
                const bool variable = (it.value & 0x02) != 0;
                const int kind = it.tag == 8 ? 0 : (it.tag == 9 ? 1 : 2);
                const bool overfull = variable && g.reportCount > 0 && named > g.reportCount;
                if (overfull) o.overfull[kind] = true;
                for (const Local& l : locals) {
                    if (!overfull) break;
                    const uint32_t count = std::min<uint32_t>(l.last - l.first, 255);
                    for (uint32_t k = 0; k <= count; ++k) {
                        const uint32_t u = l.first + k;
                        const uint16_t page = static_cast<uint16_t>(l.size == 4 && (u >> 16) ? u >> 16 : l.pageThen);
                        AddQuery(&o.overfullUsages, UsageQuery{page, static_cast<uint16_t>(u), 0});
                    }
                }
                // Both readings of each short usage's page: where it was
                // written and where the main item stands.
                for (const Local& l : locals) {
                    const uint32_t count = std::min<uint32_t>(l.last - l.first, 24);
                    for (uint32_t k = 0; k <= count && l.first + k >= l.first; ++k) {
                        const uint32_t u = l.first + k;
                        if (l.size == 4) {
                            AddQuery(&o.usages, UsageQuery{static_cast<uint16_t>(u >> 16),
                                                           static_cast<uint16_t>(u), 0});
                        } else {
                            AddQuery(&o.usages, UsageQuery{static_cast<uint16_t>(l.pageThen),
                                                           static_cast<uint16_t>(u), 0});
                            AddQuery(&o.usages, UsageQuery{static_cast<uint16_t>(g.page),
                                                           static_cast<uint16_t>(u), 0});
                        }
                    }
                }
            }
            locals.clear();
            haveMin = false;
            lastMainEnd = it.end;
            snapshot(&prefixAtLastMain);
        }
    }
    if (depth != 0) o.wellFormed = false;
    // Bytes after the last collection belong with it.
    if (!o.collections.empty() && o.wellFormed && lastMainEnd < d.size()) {
        Bytes& alone = o.collections.back().alone;
        alone.insert(alone.end(), d.begin() + lastMainEnd, d.end());
    }
    // One collection: exactly the device's descriptor.
    if (o.collections.size() == 1) o.collections[0].alone = d;
    return o;
}

std::string ToHex(const Bytes& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string s;
    s.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) {
        s.push_back(kDigits[b >> 4]);
        s.push_back(kDigits[b & 15]);
    }
    return s;
}
