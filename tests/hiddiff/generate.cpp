#include "hiddiff/generate.h"

namespace {

// splitmix64: small, fast and the same everywhere.
struct Rng {
    uint64_t state;
    uint64_t Next() {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    uint32_t Below(uint32_t n) { return n ? static_cast<uint32_t>(Next() % n) : 0; }
    int Range(int lo, int hi) { return lo + static_cast<int>(Below(static_cast<uint32_t>(hi - lo + 1))); }
    bool Chance(int percent) { return Below(100) < static_cast<uint32_t>(percent); }
};

struct Writer {
    Bytes out;
    // A short item with the fewest data bytes that hold value; signed
    // values are kept signed. forceSize 0 picks.
    void Item(uint8_t type, uint8_t tag, int64_t value, bool isSigned, int forceSize = 0) {
        int size = forceSize;
        if (!size) {
            if (value == 0 && !isSigned && type != 1) size = 0;
            else if (isSigned ? (value >= -128 && value <= 127) : (value >= 0 && value <= 0xFF)) size = 1;
            else if (isSigned ? (value >= -32768 && value <= 32767) : (value >= 0 && value <= 0xFFFF)) size = 2;
            else size = 4;
        }
        const uint8_t code = size == 4 ? 3 : static_cast<uint8_t>(size);
        out.push_back(static_cast<uint8_t>(tag << 4 | type << 2 | code));
        const uint64_t v = static_cast<uint64_t>(value);
        for (int i = 0; i < size; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
    void Main(uint8_t tag, uint32_t flags) { Item(0, tag, flags, false, flags > 0xFF ? 2 : (flags ? 1 : 0)); }
    void Global(uint8_t tag, int64_t v, bool s = false, int size = 0) { Item(1, tag, v, s, size); }
    void Local(uint8_t tag, int64_t v, int size = 0) { Item(2, tag, v, false, size); }
};

enum { kUsagePage = 0, kLogMin = 1, kLogMax = 2, kPhyMin = 3, kPhyMax = 4, kUnitExp = 5,
       kUnit = 6, kReportSize = 7, kReportId = 8, kReportCount = 9, kPush = 10, kPop = 11 };
enum { kUsage = 0, kUsageMin = 1, kUsageMax = 2, kDelimiter = 10 };
enum { kInput = 8, kOutput = 9, kCollection = 10, kFeature = 11, kEnd = 12 };

struct Gen {
    Rng rng;
    Writer w;
    uint32_t page = 0;   // the Usage Page last written
    int reportId = 0;    // the Report ID last written
    int nextId = 1;

    void SetPage(uint32_t p) {
        if (p != page || rng.Chance(10)) w.Global(kUsagePage, p);
        page = p;
    }

    void Logical(int bits, bool isSigned) {
        int64_t lo, hi;
        if (bits >= 32) {
            lo = isSigned ? INT32_MIN : 0;
            hi = isSigned ? INT32_MAX : 0x7FFFFFFF;
        } else if (isSigned) {
            lo = -(int64_t{1} << (bits - 1));
            hi = (int64_t{1} << (bits - 1)) - 1;
        } else {
            lo = 0;
            hi = (int64_t{1} << bits) - 1;
        }
        if (rng.Chance(15)) hi = lo + rng.Range(1, 100);  // a range narrower than the field
        w.Global(kLogMin, lo, true);
        // The classic slip: an unsigned maximum in too few bytes, which
        // a signed reading turns negative.
        if (!isSigned && rng.Chance(10) && hi > 0x7F && hi <= 0xFF) w.Global(kLogMax, hi, false, 1);
        else if (!isSigned && rng.Chance(10) && hi > 0x7FFF && hi <= 0xFFFF) w.Global(kLogMax, hi, false, 2);
        else w.Global(kLogMax, hi, true);
    }

    void Usage(uint32_t u, uint32_t onPage) {
        // An extended usage carries its page in its upper half.
        if (rng.Chance(8)) w.Local(kUsage, (int64_t{onPage} << 16) | u, 4);
        else w.Local(kUsage, u);
    }

    void Axes(int kind) {
        static const int kSizes[] = {8, 10, 12, 16, 16, 16, 32, 1, 2, 4, 7, 11, 24, 31};
        int bits = kSizes[rng.Below(sizeof kSizes / sizeof kSizes[0])];
        if (rng.Chance(5)) bits = rng.Range(1, 32);
        int count = rng.Range(1, 6);
        int usages = count;
        const int roll = rng.Range(0, 99);
        if (roll < 15) usages = rng.Range(1, count);          // fewer usages: the last repeats
        else if (roll < 30) usages = count + rng.Range(1, 3);  // more usages than elements
        SetPage(1);
        if (rng.Chance(15)) {
            // A range of axes.
            const int first = 0x30 + rng.Range(0, 3);
            if (rng.Chance(8)) {
                w.Local(kUsageMin, (1 << 16) | first, 4);
                w.Local(kUsageMax, (1 << 16) | (first + usages - 1), 4);
            } else {
                w.Local(kUsageMin, first);
                w.Local(kUsageMax, first + usages - 1);
            }
        } else {
            int u = rng.Chance(80) ? 0x30 : rng.Range(0x30, 0x38);
            for (int i = 0; i < usages; ++i) {
                if (rng.Chance(12)) {
                    // Simulation controls among the axes, and the page
                    // changed between the usages.
                    SetPage(2);
                    static const int kSim[] = {0xBA, 0xBB, 0xC4, 0xC5, 0xC8};
                    Usage(kSim[rng.Below(5)], 2);
                } else {
                    Usage(u <= 0x3F ? u : 0x30, page);
                    ++u;
                }
            }
            // A page set after the last usage, before the main item.
            if (rng.Chance(20)) SetPage(rng.Chance(50) ? 2 : (rng.Chance(50) ? 1 : 9));
        }
        Logical(bits, rng.Chance(40));
        w.Global(kReportSize, bits);
        w.Global(kReportCount, count);
        uint32_t flags = 0x02;
        if (rng.Chance(10)) flags |= 0x04;  // relative
        if (rng.Chance(5)) flags |= 0x40;   // null state
        if (rng.Chance(4)) flags |= 0x01;   // constant, but with usages
        w.Main(kind, flags);
    }

    void Buttons(int kind) {
        SetPage(9);
        const int count = rng.Range(1, 20);
        int usages = count;
        if (rng.Chance(20)) usages = rng.Range(1, count + 4);
        if (rng.Chance(80)) {
            w.Local(kUsageMin, 1);
            w.Local(kUsageMax, usages);
        } else {
            for (int i = 1; i <= usages; ++i) Usage(i, 9);
        }
        w.Global(kLogMin, 0);
        w.Global(kLogMax, 1);
        w.Global(kReportSize, 1);
        w.Global(kReportCount, count);
        w.Main(kind, 0x02);
        if (rng.Chance(60) && count % 8) {
            // Padding to the byte.
            w.Global(kReportCount, 1);
            w.Global(kReportSize, 8 - count % 8);
            w.Main(kind, rng.Chance(50) ? 0x03 : 0x01);
        }
    }

    void Hat(int kind) {
        SetPage(1);
        w.Local(kUsage, 0x39);
        w.Global(kLogMin, 0);
        w.Global(kLogMax, 7);
        w.Global(kPhyMin, 0);
        w.Global(kPhyMax, 315, true);
        w.Global(kUnit, 0x14);
        w.Global(kReportSize, 4);
        w.Global(kReportCount, 1);
        w.Main(kind, 0x42);
        if (rng.Chance(40)) {
            w.Global(kUnit, 0);
            w.Main(kind, 0x01);  // the other nibble, padding
        }
    }

    void ArrayField(int kind) {
        SetPage(rng.Chance(50) ? 7 : 0x0C);
        const int lo = rng.Range(0, 2), hi = lo + rng.Range(3, 120);
        w.Local(kUsageMin, lo);
        w.Local(kUsageMax, hi);
        w.Global(kLogMin, lo);
        w.Global(kLogMax, hi);
        w.Global(kReportSize, rng.Chance(80) ? 8 : 16);
        w.Global(kReportCount, rng.Range(1, 6));
        w.Main(kind, 0x00);
    }

    void Vendor(int kind) {
        SetPage(0xFF00);
        Usage(rng.Range(1, 4), 0xFF00);
        w.Global(kLogMin, 0);
        w.Global(kLogMax, 255, true);
        w.Global(kReportSize, 8);
        w.Global(kReportCount, rng.Range(1, 8));
        w.Main(kind, 0x02);
    }

    void Padding(int kind) {
        w.Global(kReportSize, rng.Range(1, 16));
        w.Global(kReportCount, rng.Chance(3) ? 0 : 1);
        w.Main(kind, 0x03);
    }

    void Field(int kind) {
        const int roll = rng.Range(0, 99);
        const bool push = rng.Chance(8);
        if (push) w.Global(kPush, 0, false, 0);
        if (roll < 40) Axes(kind);
        else if (roll < 62) Buttons(kind);
        else if (roll < 70) Hat(kind);
        else if (roll < 78) ArrayField(kind);
        else if (roll < 88) Vendor(kind);
        else Padding(kind);
        if (push) {
            w.Global(kPop, 0, false, 0);
            // What the Pop put back is no longer known here.
            page = 0xFFFFFFFF;
        }
    }

    void Collection(int depth, bool useIds, int ids) {
        const int fields = rng.Range(1, depth == 0 ? 7 : 4);
        for (int i = 0; i < fields; ++i) {
            if (useIds && (i == 0 || rng.Chance(20))) {
                const int id = nextId - ids + static_cast<int>(rng.Below(static_cast<uint32_t>(ids)));
                w.Global(kReportId, id);
                reportId = id;
            }
            if (depth < 2 && rng.Chance(12)) {
                SetPage(1);
                w.Local(kUsage, rng.Chance(50) ? 0x01 : 0x00);
                w.Main(kCollection, rng.Chance(50) ? 0 : 2);  // physical or logical
                Collection(depth + 1, false, ids);
                w.Main(kEnd, 0);
                continue;
            }
            const int kindRoll = rng.Range(0, 99);
            Field(kindRoll < 85 ? kInput : (kindRoll < 92 ? kOutput : kFeature));
        }
    }

    void TopLevel(bool useIds) {
        static const uint32_t kApps[] = {0x10004, 0x10004, 0x10004, 0x10005, 0x10005, 0x10008,
                                         0x10002, 0x10006, 0xC0001, 0xFF000001, 0x20001};
        const uint32_t app = kApps[rng.Below(sizeof kApps / sizeof kApps[0])];
        SetPage(app >> 16);
        if (rng.Chance(1)) {
            // Alternative usages for the collection.
            w.Local(kDelimiter, 1);
            w.Local(kUsage, app & 0xFFFF);
            w.Local(kUsage, 0x05);
            w.Local(kDelimiter, 0);
        } else {
            w.Local(kUsage, app & 0xFFFF);
        }
        w.Main(kCollection, 1);
        const int ids = useIds ? rng.Range(1, 3) : 1;
        if (useIds) nextId += ids;
        Collection(0, useIds, ids);
        w.Main(kEnd, 0);
    }
};

}  // namespace

Bytes GenerateDescriptor(uint64_t seed) {
    Gen g;
    g.rng.state = seed;
    const int roll = g.rng.Range(0, 99);
    const int tops = roll < 70 ? 1 : (roll < 90 ? 2 : 3);
    const bool useIds = tops > 1 ? g.rng.Chance(95) : g.rng.Chance(60);
    for (int i = 0; i < tops; ++i) g.TopLevel(useIds);
    return g.w.out;
}

std::vector<GeneratedReport> GenerateReports(uint64_t seed, const DescriptorOutline& outline) {
    Rng rng{seed ^ 0x5EED5EED5EED5EEDull};
    std::vector<GeneratedReport> reports;
    for (size_t c = 0; c < outline.collections.size(); ++c) {
        const TopCollection& top = outline.collections[c];
        for (size_t i = 0; i < top.inputIds.size(); ++i) {
            const uint32_t bytes = (top.inputBits[i] + 7) / 8;
            const int copies = rng.Range(1, 2);
            for (int k = 0; k < copies; ++k) {
                uint32_t length = 1 + (bytes > 4096 ? 4096 : bytes);
                if (rng.Chance(10) && length > 1) length -= 1;
                if (rng.Chance(5)) length += 2;
                Bytes report(length);
                for (auto& b : report) b = static_cast<uint8_t>(rng.Next());
                // All ones and all zeros reach the ends of every field.
                if (rng.Chance(10)) for (auto& b : report) b = 0xFF;
                if (rng.Chance(5)) for (auto& b : report) b = 0;
                report[0] = static_cast<uint8_t>(top.inputIds[i]);
                reports.push_back(GeneratedReport{static_cast<int>(c), report});
            }
        }
        if (rng.Chance(8)) {
            Bytes report(4);
            for (auto& b : report) b = static_cast<uint8_t>(rng.Next());
            reports.push_back(GeneratedReport{static_cast<int>(c), report});
        }
    }
    return reports;
}
