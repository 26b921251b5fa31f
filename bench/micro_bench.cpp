// Microbenchmarks of the relay's per-event work that is not a system call:
// taking a usage value from a report, and formatting an event frame. The
// box is opened the way the relay opens it (FindBox over a fake hidraw
// tree), so the figures are those of the code the relay runs.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "box/box.h"
#include "net/server.h"
#include "platform/posix/device_roots.h"
#include "support/descriptors.h"
#include "support/fake_hidraw.h"

namespace {

// The box of `descriptor` open in BoxState for as long as it lives.
class OpenFakeBox {
public:
    explicit OpenFakeBox(const Bytes& descriptor) {
        ok_ = tree_.ok() && tree_.AddDevice(0, 0x046D, 0xC630, descriptor) &&
              SetHidDeviceRoots(tree_.HidrawDir().c_str(), tree_.DevDir().c_str()) &&
              FindBox(BoxUsagePage, BoxUsage) == 1 && AllocReportBuffer() == 1;
    }
    ~OpenFakeBox() {
        CloseBox();
        free(BoxState.InputReport);
        BoxState.InputReport = nullptr;
        BoxState.InputReportLength = 0;
        SetHidDeviceRoots(nullptr, nullptr);
    }
    bool ok() const { return ok_; }

private:
    FakeHidTree tree_;
    bool ok_ = false;
};

// A Joystick whose report 2 has `fields` 16-bit value fields, each a main
// item of its own; the first fields - 1 carry vendor usages and the last
// one carries X, so looking X up walks every field before it.
Bytes ManyFieldDescriptor(int fields) {
    Bytes d = {0x05, 0x01, 0x09, 0x04, 0xA1, 0x01,  // Generic Desktop / Joystick
               0x85, 0x02,                          // Report ID (2)
               0x15, 0x00, 0x26, 0xFF, 0x7F,        // Logical 0..32767
               0x75, 0x10, 0x95, 0x01,              // one 16-bit element per field
               0x06, 0x00, 0xFF};                   // Usage Page (vendor 0xFF00)
    for (int i = 1; i < fields; ++i) {
        d.insert(d.end(), {0x0A, static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8), 0x81, 0x02});
    }
    d.insert(d.end(), {0x05, 0x01, 0x09, 0x30, 0x81, 0x02, 0xC0});  // X, End Collection
    return d;
}

void BM_ReadUsageValue_Box(benchmark::State& state) {
    OpenFakeBox box(BoxDescriptor());
    if (!box.ok()) return state.SkipWithError("cannot open the fake box");
    const BYTE report[5] = {0x02, 0xBC, 0x02, 0x00, 0x02};  // X 700, Y 512
    memcpy(BoxState.InputReport, report, sizeof report);
    BoxState.ReportType = HidP_Input;
    for (auto _ : state) {
        // Both readings of one axis report, as the relay takes them.
        benchmark::DoNotOptimize(ReadUsageValue(UsageTable[0]));
        benchmark::DoNotOptimize(ReadUsageValue(UsageTable[1]));
    }
    state.SetItemsProcessed(state.iterations() * 2);
}
BENCHMARK(BM_ReadUsageValue_Box);

void BM_HidP_GetUsageValue_Box(benchmark::State& state) {
    OpenFakeBox box(BoxDescriptor());
    if (!box.ok()) return state.SkipWithError("cannot open the fake box");
    const BYTE report[5] = {0x05, 0x07, 0x00, 0xFB, 0xFF};  // Slider 7, Dial 0xFFFB
    memcpy(BoxState.InputReport, report, sizeof report);
    for (auto _ : state) {
        ULONG value = 0;
        benchmark::DoNotOptimize(HidP_GetUsageValue(
            HidP_Input, 0x01, 0, 0x37, &value, BoxState.PreparsedData,
            reinterpret_cast<PCHAR>(BoxState.InputReport), BoxState.InputReportLength));
        benchmark::DoNotOptimize(value);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_HidP_GetUsageValue_Box);

// Extraction cost against descriptor size: the usage sits in the last of
// `fields` fields.
void BM_ReadUsageValue_Fields(benchmark::State& state) {
    const int fields = static_cast<int>(state.range(0));
    OpenFakeBox box(ManyFieldDescriptor(fields));
    if (!box.ok()) return state.SkipWithError("cannot open the fake box");
    BoxState.InputReport[0] = 0x02;
    BoxState.InputReport[BoxState.InputReportLength - 2] = 0xBC;  // X 700
    BoxState.InputReport[BoxState.InputReportLength - 1] = 0x02;
    BoxState.ReportType = HidP_Input;
    if (ReadUsageValue(UsageTable[0]) != 700) return state.SkipWithError("X is not 700");
    for (auto _ : state) benchmark::DoNotOptimize(ReadUsageValue(UsageTable[0]));
    state.SetItemsProcessed(state.iterations());
    state.counters["fields"] = fields;
    state.counters["report_bytes"] = BoxState.InputReportLength;
}
BENCHMARK(BM_ReadUsageValue_Fields)->RangeMultiplier(4)->Range(1, 256)->Arg(511);

void BM_FormatEvent(benchmark::State& state) {
    // A typical axis event, and the longest text there is.
    const int id = state.range(0) == 0 ? 1 : -2147483647 - 1;
    const int value = state.range(0) == 0 ? -12345 : -2147483647 - 1;
    const int typ = state.range(0) == 0 ? 3 : -32768;
    char frame[EventFrameSize];
    for (auto _ : state) {
        // As SendEvent does it: a zero-filled frame, then the text.
        memset(frame, 0, sizeof frame);
        benchmark::DoNotOptimize(FormatEvent(frame, typ, id, value));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
    state.SetLabel(state.range(0) == 0 ? "typical" : "longest");
}
BENCHMARK(BM_FormatEvent)->Arg(0)->Arg(1);

}  // namespace

BENCHMARK_MAIN();
