// The two implementations under comparison, behind one shape: a
// descriptor in, the capabilities of each top-level collection and the
// answers to usage queries on reports out.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "hiddiff/items.h"

enum { kCapsFields = 16 };
extern const char* const kCapsFieldNames[kCapsFields];

struct Answer {
    uint32_t status;
    uint32_t value;  // 0 unless the status is success
};

struct CollectionResult {
    uint32_t capsStatus;
    uint16_t caps[kCapsFields];  // in kCapsFieldNames order
};

struct CaseInput {
    std::string id;
    std::vector<Bytes> descriptors;       // per top-level collection, for a side that needs them apart
    Bytes whole;                          // the device's descriptor
    std::vector<UsageQuery> queries;
    std::vector<int> reportCollection;    // for each report, the collection it is read on
    std::vector<Bytes> reports;
};

struct SideResult {
    bool refused;                           // the side made no preparsed data
    bool crashed;                           // the side died or hung on the case
    uint32_t parseStatus;                   // of the collection that was refused
    std::vector<CollectionResult> collections;
    std::vector<std::vector<Answer>> answers;  // per report, per query; empty where not asked
};

// Our layer: a fake hidraw node with this descriptor, found and read
// through SetupDi*, CreateFileA, HidD_* and HidP_* as the relay does.
class OurSide {
public:
    OurSide();
    ~OurSide();
    bool ok() const { return ok_; }
    SideResult Run(const CaseInput& input);

private:
    struct Tree;
    Tree* tree_;
    bool ok_;
};

// Wine's hidparse.sys and hid.dll in a wine64 child process.
class WineSide {
public:
    // exe: the Windows test program; prefix: WINEPREFIX.
    WineSide(const std::string& exe, const std::string& prefix);
    ~WineSide();
    bool ok() const { return ok_; }
    const std::string& error() const { return error_; }
    // Each top-level collection on its own descriptor, as Windows gives
    // each its own preparsed data. Cases go through the pipe in batches;
    // a case the child dies on is marked crashed and the child restarted.
    // False only when the child cannot be started again.
    bool Run(const std::vector<const CaseInput*>& inputs, std::vector<SideResult>* outs);
    int restarts() const { return restarts_; }

private:
    bool Start();
    void Stop();
    bool ReadLine(std::string* line);
    bool Exchange(const std::string& request);
    bool ReadCase(const CaseInput& input, SideResult* out);
    std::string exe_, prefix_, error_;
    int pid_ = -1, toChild_ = -1, fromChild_ = -1;
    std::string pending_;
    bool ok_ = false;
    bool starting_ = false;
    int restarts_ = 0;
};
