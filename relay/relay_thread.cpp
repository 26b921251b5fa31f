#include "relay/relay.h"

#include "box/box.h"
#include "net/server.h"

namespace {

// The readings of reports 2 to 5: which two axes each carries and where
// they go on the wire.
struct AxisRow {
    int usageIndex;  // into UsageTable; the second axis is the next entry
    int typ;
    int firstId;
};

// Report 4 reuses channels 0 and 1 of TYP 3, the same as report 2; report 5
// is the only source of TYP 2. Clients depend on both.
constexpr AxisRow kAxisRows[4] = {
    {0, 3, 0},  // report 2: X, Y
    {2, 3, 2},  // report 3: Z, Rx
    {4, 3, 0},  // report 4: Ry, Rz
    {6, 2, 2},  // report 5: Slider, Dial
};

}  // namespace

void RelayReport(void) {
    const BYTE* report = BoxState.InputReport;
    BYTE reportId = report[0];
    if (reportId == 1) {
        // Bytes 1 (low) and 2 (high) as one signed 16-bit word.
        int16_t buttons = static_cast<int16_t>(report[1] | (report[2] << 8));
        SendEvent(1, buttons, 1);
        return;
    }
    if (reportId < 2 || reportId > 5) return;
    const AxisRow& row = kAxisRows[reportId - 2];
    // Both readings are taken before either is sent.
    int16_t first = static_cast<int16_t>(ReadUsageValue(UsageTable[row.usageIndex]));
    int16_t second = static_cast<int16_t>(ReadUsageValue(UsageTable[row.usageIndex + 1]));
    SendEvent(row.typ, row.firstId, first);
    SendEvent(row.typ, row.firstId + 1, second);
}

DWORD WINAPI RelayThread(LPVOID parameter) {
    (void)parameter;
    DWORD retryPause = 0;
    for (;;) {
        if (ReadInputReport() == 0) {
            // The first retry goes at once, so one failed read costs no
            // latency. A box that is gone fails every read at once: the
            // pause doubles up to ReadRetryMaxPause, so that it costs next
            // to nothing instead of a whole core. The pause is also where a
            // stop takes effect when a read fails without a system call.
            Sleep(retryPause);
            retryPause = retryPause == 0 ? 1 : retryPause * 2;
            if (retryPause > ReadRetryMaxPause) retryPause = ReadRetryMaxPause;
            continue;
        }
        retryPause = 0;
        RelayReport();
    }
}
