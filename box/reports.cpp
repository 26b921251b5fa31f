// Reading the box's input reports and taking raw usage values from them.
#include <cstdlib>

#include "box/box.h"

int AllocReportBuffer(void) {
    const ULONG length = BoxState.Caps.InputReportByteLength;
    // Never fewer bytes than the relay reads directly, whatever the box says.
    const size_t size = length < MinInputReportLength ? MinInputReportLength : length;
    BYTE* buffer = static_cast<BYTE*>(calloc(size, 1));
    if (!buffer) return 0;
    free(BoxState.InputReport);
    BoxState.InputReport = buffer;
    BoxState.InputReportLength = length;
    return 1;
}

int ReadInputReport(void) {
    BoxState.ReportType = HidP_Input;
    if (!BoxState.InputReport || BoxState.InputReportLength == 0) return 0;
    DWORD bytesRead = 0;
    if (!ReadFile(BoxState.ReadHandle, BoxState.InputReport, BoxState.InputReportLength,
                  &bytesRead, nullptr)) {
        return 0;
    }
    return static_cast<int>(bytesRead);
}

USHORT ReadUsageValue(UsageCode code) {
    if (!BoxState.InputReport) return 0;
    // Link collection 0: the whole top-level collection.
    ULONG value = 0;
    const NTSTATUS status = HidP_GetUsageValue(
        BoxState.ReportType, static_cast<USAGE>(code >> 16), 0, static_cast<USAGE>(code & 0xFFFF),
        &value, BoxState.PreparsedData, reinterpret_cast<PCHAR>(BoxState.InputReport),
        BoxState.InputReportLength);
    // A usage the report does not carry reads as 0, never as whatever the
    // variable held.
    if (status != HIDP_STATUS_SUCCESS) return 0;
    return static_cast<USHORT>(value & 0xFFFF);
}
