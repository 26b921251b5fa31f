// dorqin-hiddiff: the same report descriptors, reports and calls through
// our Linux HID layer and through Wine's implementation of the Windows HID
// parser, every difference counted by class and shown with the case that
// reproduces it.
//
//   dorqin-hiddiff --wine-exe EXE --prefix DIR [--seed S] [--count N]
//                  [--corpus DIR] [--seconds T] [--verbose] [--show K]
//
// Generated cases are numbered by their seed: --seed S --count 1 --verbose
// replays case S alone. --seconds T runs fresh random seeds for T seconds
// instead of a fixed range. Exit status 0 when nothing the relay would send
// differs and every API-level difference is of a tolerated class; 1
// otherwise; 2 when a side could not be run.
#include <dirent.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

#include "hiddiff/generate.h"
#include "hiddiff/sides.h"
#include "hiddiff/tolerated.h"
#include "tools/boxsim/device_file.h"

namespace {

constexpr uint32_t kSuccess = 0x00110000;
constexpr size_t kMaxQueries = 64;

struct Options {
    std::string wineExe, prefix, corpus;
    uint64_t seed = 1;
    uint64_t count = 0;
    double seconds = 0;
    bool verbose = false;
    int show = 3;
};

struct ClassCount {
    uint64_t cases = 0, diffs = 0, untolerated = 0;  // untolerated: cases
    std::vector<std::string> examples;
    std::map<std::string, uint64_t> tolerances;  // diffs explained, by tolerance
};

struct Tally {
    uint64_t cases = 0, refusedBoth = 0, relayCompared = 0, delimiterCases = 0, sharedReportCases = 0;
    std::map<std::string, ClassCount> classes;
};

const char* StatusName(uint32_t s) {
    switch (s) {
    case 0x00110000: return "SUCCESS";
    case 0xC0110001: return "INVALID_PREPARSED_DATA";
    case 0xC0110002: return "INVALID_REPORT_TYPE";
    case 0xC0110003: return "INVALID_REPORT_LENGTH";
    case 0xC0110004: return "USAGE_NOT_FOUND";
    case 0xC011000A: return "INCOMPATIBLE_REPORT_ID";
    case 0xC011000B: return "NOT_VALUE_ARRAY";
    case 0xC011000C: return "IS_VALUE_ARRAY";
    case 0xC0110010: return "REPORT_DOES_NOT_EXIST";
    case 0xC0110020: return "NOT_IMPLEMENTED";
    default: return "other";
    }
}

CaseInput BuildInput(const Bytes& descriptor, const DescriptorOutline& outline, uint64_t reportSeed) {
    CaseInput in;
    in.whole = descriptor;
    for (const TopCollection& top : outline.collections) in.descriptors.push_back(top.alone);
    // What the relay asks first, then every usage the descriptor names,
    // then some of them in the first nested collections.
    for (uint16_t u = 0x30; u <= 0x37; ++u) in.queries.push_back(UsageQuery{1, u, 0});
    for (const UsageQuery& q : outline.usages) {
        if (in.queries.size() == kMaxQueries - 6) break;
        // Usage 0 is Undefined on every page and nobody asks for it; Wine
        // 8's hid.dll reads outside the report when asked for a field
        // whose usage is 0, and its process dies.
        if (q.usage == 0) continue;
        if (std::find(in.queries.begin(), in.queries.end(), q) == in.queries.end()) in.queries.push_back(q);
    }
    for (size_t i = 0; i < 3 && i < outline.usages.size(); ++i) {
        for (uint16_t link = 1; link <= 2; ++link) {
            UsageQuery q = outline.usages[i];
            q.link = link;
            in.queries.push_back(q);
        }
    }
    for (const GeneratedReport& r : GenerateReports(reportSeed, outline)) {
        in.reportCollection.push_back(r.collection);
        in.reports.push_back(r.bytes);
    }
    return in;
}

// The relay's view: the first Joystick collection, its report length and
// the low 16 bits of its eight axis readings (0 where the call failed).
int JoystickIndex(const SideResult& r) {
    for (size_t i = 0; i < r.collections.size(); ++i) {
        if (r.collections[i].caps[0] == 1 && r.collections[i].caps[1] == 4) return static_cast<int>(i);
    }
    return -1;
}

struct Diff {
    std::string cls;
    std::string detail;
    bool hasQuery = false;
    UsageQuery query{};
};

void Compare(const CaseInput& in, const DescriptorOutline& outline, const SideResult& ours,
             const SideResult& wine, std::vector<Diff>* diffs, bool* relayCompared) {
    *relayCompared = false;
    if (ours.refused || wine.refused) {
        if (ours.refused != wine.refused) {
            diffs->push_back(Diff{ours.refused ? "refused by ours only"
                                               : (wine.crashed ? "Wine died" : "refused by Wine only"),
                                  ""});
        }
        return;
    }
    // The relay's view first.
    *relayCompared = true;
    const int oj = JoystickIndex(ours), wj = JoystickIndex(wine);
    if (oj != wj) {
        diffs->push_back(Diff{"relay: Joystick collection", "ours " + std::to_string(oj) + ", Wine " + std::to_string(wj)});
    } else if (oj >= 0) {
        if (ours.collections[oj].caps[2] != wine.collections[oj].caps[2]) {
            diffs->push_back(Diff{"relay: input report length", ""});
        }
        for (size_t i = 0; i < in.reports.size(); ++i) {
            if (in.reportCollection[i] != oj) continue;
            for (size_t q = 0; q < 8; ++q) {
                const Answer& a = ours.answers[i][q];
                const Answer& b = wine.answers[i][q];
                const uint16_t va = a.status == kSuccess ? static_cast<uint16_t>(a.value) : 0;
                const uint16_t vb = b.status == kSuccess ? static_cast<uint16_t>(b.value) : 0;
                if (va != vb) {
                    char d[96];
                    snprintf(d, sizeof d, "report %zu usage 1:%x ours %u Wine %u", i, in.queries[q].usage, va, vb);
                    diffs->push_back(Diff{"relay: reading", d, true, in.queries[q]});
                }
            }
        }
    }
    if (ours.collections.size() != wine.collections.size()) {
        diffs->push_back(Diff{"collection count", std::to_string(ours.collections.size()) + " vs " +
                                                      std::to_string(wine.collections.size())});
    }
    const size_t n = std::min(ours.collections.size(), wine.collections.size());
    for (size_t c = 0; c < n; ++c) {
        for (int f = 0; f < kCapsFields - 1; ++f) {
            if (ours.collections[c].caps[f] != wine.collections[c].caps[f]) {
                char d[96];
                snprintf(d, sizeof d, "collection %zu: ours %u, Wine %u", c, ours.collections[c].caps[f],
                         wine.collections[c].caps[f]);
                diffs->push_back(Diff{std::string("caps ") + kCapsFieldNames[f], d});
            }
        }
    }
    for (size_t i = 0; i < in.reports.size(); ++i) {
        if (static_cast<size_t>(in.reportCollection[i]) >= n) continue;
        const auto& oa = ours.answers[i];
        const auto& wa = wine.answers[i];
        if (oa.size() != wa.size()) {
            diffs->push_back(Diff{"answer count", ""});
            continue;
        }
        for (size_t q = 0; q < oa.size(); ++q) {
            const UsageQuery& uq = in.queries[q];
            char d[160];
            snprintf(d, sizeof d, "report %zu (id %u) usage %x:%x link %u: ours %s %x, Wine %s %x", i,
                     in.reports[i][0], uq.page, uq.usage, uq.link, StatusName(oa[q].status), oa[q].value,
                     StatusName(wa[q].status), wa[q].value);
            if (oa[q].status != wa[q].status) {
                diffs->push_back(Diff{std::string("status ") + StatusName(oa[q].status) + " / " +
                                          StatusName(wa[q].status), d, true, uq});
            } else if (oa[q].value != wa[q].value) {
                diffs->push_back(Diff{"value", d, true, uq});
            }
        }
    }
    (void)outline;
}

void PrintSide(const char* name, const CaseInput& in, const SideResult& r) {
    printf("  %s: %s, %zu collection(s)\n", name,
           r.crashed ? "died" : (r.refused ? ("refused, status " + std::to_string(r.parseStatus)).c_str() : "parsed"),
           r.collections.size());
    for (size_t c = 0; c < r.collections.size(); ++c) {
        printf("    collection %zu:", c);
        for (int f = 0; f < kCapsFields - 1; ++f) printf(" %s=%u", kCapsFieldNames[f], r.collections[c].caps[f]);
        printf("\n");
    }
    for (size_t i = 0; i < r.answers.size(); ++i) {
        if (r.answers[i].empty()) continue;
        printf("    report %zu %s:", i, ToHex(in.reports[i]).c_str());
        for (size_t q = 0; q < r.answers[i].size(); ++q) {
            const Answer& a = r.answers[i][q];
            printf(" %x:%x=%s", in.queries[q].page, in.queries[q].usage,
                   a.status == kSuccess ? std::to_string(a.value).c_str() : StatusName(a.status));
        }
        printf("\n");
    }
}

struct PendingCase {
    std::string id;
    Bytes descriptor;
    DescriptorOutline outline;
    CaseInput input;
    SideResult ours;
};

constexpr size_t kBatch = 64;

void Record(const PendingCase& c, const SideResult& theirs, const Options& opt, Tally* tally) {
    const SideResult& mine = c.ours;
    if (mine.refused && theirs.refused) ++tally->refusedBoth;
    std::vector<Diff> diffs;
    bool relayCompared = false;
    Compare(c.input, c.outline, mine, theirs, &diffs, &relayCompared);
    if (relayCompared) ++tally->relayCompared;
    // Per class: whether this case has a difference of it at all, and
    // whether it has one that no tolerance explains.
    std::map<std::string, std::pair<int, bool>> perClass;
    std::vector<const Tolerance*> tolerances(diffs.size());
    for (size_t i = 0; i < diffs.size(); ++i) {
        const Diff& d = diffs[i];
        tolerances[i] = FindTolerance(d.cls, c.outline, d.hasQuery ? &d.query : nullptr);
        auto& entry = perClass[d.cls];
        entry.first++;
        if (!tolerances[i]) entry.second = true;
        else tally->classes[d.cls].tolerances[tolerances[i]->name]++;
    }
    for (const auto& [cls, entry] : perClass) {
        ClassCount& cc = tally->classes[cls];
        cc.cases++;
        cc.diffs += entry.first;
        if (entry.second) {
            cc.untolerated++;
            if (static_cast<int>(cc.examples.size()) < opt.show) cc.examples.push_back(c.id);
        }
    }
    if (opt.verbose) {
        printf("case %s: %s\n  descriptor %s\n", c.id.c_str(), diffs.empty() ? "same" : "DIFFERENT",
               ToHex(c.descriptor).c_str());
        PrintSide("ours", c.input, mine);
        PrintSide("Wine", c.input, theirs);
        for (size_t i = 0; i < diffs.size(); ++i) {
            printf("  diff [%s] %s%s%s\n", diffs[i].cls.c_str(), diffs[i].detail.c_str(),
                   tolerances[i] ? "  -- tolerated: " : "", tolerances[i] ? tolerances[i]->name : "");
        }
    }
}

// Runs the batch's cases through Wine and records them.
bool Flush(std::vector<PendingCase>* batch, WineSide* wine, const Options& opt, Tally* tally) {
    std::vector<const CaseInput*> inputs;
    for (const PendingCase& c : *batch) inputs.push_back(&c.input);
    std::vector<SideResult> theirs;
    if (!wine->Run(inputs, &theirs)) return false;
    for (size_t i = 0; i < batch->size(); ++i) Record((*batch)[i], theirs[i], opt, tally);
    batch->clear();
    return true;
}

bool RunCase(const std::string& id, const Bytes& descriptor, uint64_t reportSeed, OurSide* ours,
             WineSide* wine, const Options& opt, Tally* tally, std::vector<PendingCase>* batch) {
    PendingCase c;
    c.id = id;
    c.descriptor = descriptor;
    c.outline = OutlineDescriptor(descriptor);
    c.input = BuildInput(descriptor, c.outline, reportSeed);
    c.input.id = id;
    if (c.input.descriptors.empty()) c.input.descriptors.push_back(descriptor);
    c.ours = ours->Run(c.input);
    ++tally->cases;
    if (c.outline.hasDelimiter) {
        // Wine 8's parser does not implement Delimiter items, and its
        // process dies on them: such a case is counted, not compared.
        ++tally->delimiterCases;
        if (opt.verbose) printf("case %s: has a Delimiter item, not compared\n", id.c_str());
        return true;
    }
    if (c.outline.collections.size() > 1 && !c.outline.usesReportIds) {
        // Several top-level collections whose reports carry no ID cannot be
        // told apart on the wire; HID 1.11 requires report IDs there. What
        // each collection's reports are is then anyone's guess.
        ++tally->sharedReportCases;
        if (opt.verbose) printf("case %s: several collections without report IDs, not compared\n", id.c_str());
        return true;
    }
    batch->push_back(std::move(c));
    return batch->size() < kBatch || Flush(batch, wine, opt, tally);
}

bool ReadFileText(const std::string& path, std::string* text) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return false;
    std::ostringstream s;
    s << f.rdbuf();
    *text = s.str();
    return true;
}

uint64_t HashName(const std::string& s) {
    uint64_t h = 1469598103934665603ull;
    for (unsigned char c : s) h = (h ^ c) * 1099511628211ull;
    return h;
}

int Usage() {
    fprintf(stderr, "usage: dorqin-hiddiff --wine-exe EXE --prefix DIR [--seed S] [--count N] "
                    "[--corpus DIR] [--seconds T] [--verbose] [--show K]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--wine-exe" && hasValue) opt.wineExe = argv[++i];
        else if (a == "--prefix" && hasValue) opt.prefix = argv[++i];
        else if (a == "--corpus" && hasValue) opt.corpus = argv[++i];
        else if (a == "--seed" && hasValue) opt.seed = strtoull(argv[++i], nullptr, 0);
        else if (a == "--count" && hasValue) opt.count = strtoull(argv[++i], nullptr, 0);
        else if (a == "--seconds" && hasValue) opt.seconds = atof(argv[++i]);
        else if (a == "--show" && hasValue) opt.show = atoi(argv[++i]);
        else if (a == "--verbose") opt.verbose = true;
        else return Usage();
    }
    if (opt.wineExe.empty() || opt.prefix.empty()) return Usage();

    OurSide ours;
    if (!ours.ok()) {
        fprintf(stderr, "hiddiff: could not make the fake hidraw tree\n");
        return 2;
    }
    WineSide wine(opt.wineExe, opt.prefix);
    if (!wine.ok()) {
        fprintf(stderr, "hiddiff: %s\n", wine.error().c_str());
        return 2;
    }
    const auto start = std::chrono::steady_clock::now();
    Tally tally;
    std::vector<PendingCase> batch;
    uint64_t corpusFiles = 0;
    if (!opt.corpus.empty()) {
        std::vector<std::string> names;
        if (DIR* dir = opendir(opt.corpus.c_str())) {
            while (dirent* e = readdir(dir)) {
                const std::string name = e->d_name;
                if (name.size() > 4 && name.compare(name.size() - 4, 4, ".hid") == 0) names.push_back(name);
            }
            closedir(dir);
        }
        std::sort(names.begin(), names.end());
        for (const std::string& name : names) {
            // Read as dorqin-boxsim --descriptor reads such a file.
            std::string text, why;
            DescriptorFile file;
            if (!ReadFileText(opt.corpus + "/" + name, &text) ||
                ReadDescriptorFile(text, &file, &why) != 0 || !file.Text) {
                fprintf(stderr, "hiddiff: %s/%s is not hex text: %s\n", opt.corpus.c_str(),
                        name.c_str(), why.empty() ? file.TextError.c_str() : why.c_str());
                return 2;
            }
            const Bytes descriptor(file.Bytes.begin(), file.Bytes.end());
            ++corpusFiles;
            if (!RunCase("corpus/" + name, descriptor, HashName(name), &ours, &wine, opt, &tally, &batch)) {
                fprintf(stderr, "hiddiff: Wine side lost: %s\n", wine.error().c_str());
                return 2;
            }
        }
    }
    uint64_t first = opt.seed, generated = 0;
    if (opt.seconds > 0) {
        if (getrandom(&first, sizeof first, 0) != sizeof first) first = static_cast<uint64_t>(time(nullptr));
        printf("hiddiff: fresh seeds from %llu\n", static_cast<unsigned long long>(first));
    }
    for (uint64_t s = first;; ++s) {
        if (opt.seconds > 0) {
            const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            if (elapsed >= opt.seconds) break;
        } else if (generated == opt.count) {
            break;
        }
        if (!RunCase(std::to_string(s), GenerateDescriptor(s), s, &ours, &wine, opt, &tally, &batch)) {
            fprintf(stderr, "hiddiff: Wine side lost: %s\n", wine.error().c_str());
            return 2;
        }
        ++generated;
    }
    if (!Flush(&batch, &wine, opt, &tally)) {
        fprintf(stderr, "hiddiff: Wine side lost: %s\n", wine.error().c_str());
        return 2;
    }
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    uint64_t relayDiffs = 0, unexplained = 0;
    printf("hiddiff: %llu generated (seeds %llu..%llu), %llu corpus files; %llu cases: %llu refused by both, "
           "%llu with a Delimiter item and %llu with several collections but no report IDs not compared, "
           "%llu compared as the relay sees them; %.1f s; Wine restarted %d times\n",
           static_cast<unsigned long long>(generated), static_cast<unsigned long long>(first),
           static_cast<unsigned long long>(first + (generated ? generated - 1 : 0)),
           static_cast<unsigned long long>(corpusFiles), static_cast<unsigned long long>(tally.cases),
           static_cast<unsigned long long>(tally.refusedBoth), static_cast<unsigned long long>(tally.delimiterCases),
           static_cast<unsigned long long>(tally.sharedReportCases),
           static_cast<unsigned long long>(tally.relayCompared), elapsed, wine.restarts());
    printf("%-46s %8s %9s %13s  %s\n", "class", "cases", "diffs", "unexplained", "explained by");
    for (const auto& [cls, cc] : tally.classes) {
        const bool relay = cls.rfind("relay:", 0) == 0;
        if (relay) relayDiffs += cc.untolerated;
        unexplained += cc.untolerated;
        std::string by;
        for (const auto& [name, count] : cc.tolerances) {
            by += (by.empty() ? "" : ", ") + std::string(name) + " (" + std::to_string(count) + ")";
        }
        printf("%-46s %8llu %9llu %13llu  %s\n", cls.c_str(), static_cast<unsigned long long>(cc.cases),
               static_cast<unsigned long long>(cc.diffs), static_cast<unsigned long long>(cc.untolerated),
               by.c_str());
        for (const std::string& ex : cc.examples) {
            if (ex.rfind("corpus/", 0) == 0) {
                printf("    e.g. %s  (--corpus DIR --verbose)\n", ex.c_str());
            } else {
                printf("    e.g. --seed %s --count 1 --verbose\n", ex.c_str());
            }
        }
    }
    if (tally.classes.empty()) printf("(no differences)\n");
    printf("hiddiff: %llu cases with an unexplained difference in what the relay would send, "
           "%llu with one in any class\n",
           static_cast<unsigned long long>(relayDiffs), static_cast<unsigned long long>(unexplained));
    return relayDiffs == 0 && unexplained == 0 ? 0 : 1;
}
