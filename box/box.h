// The DORQIn Box: finding and opening it among the present HID interfaces,
// reading its input reports and taking readings from them by HID usage.
#pragma once

#include <cstdint>

#include "platform/platform.h"

constexpr USHORT BoxVendorId = 0x046D;
constexpr USHORT BoxProductId = 0xC630;
constexpr USHORT BoxUsagePage = 0x01;  // Generic Desktop
constexpr USHORT BoxUsage = 0x04;      // Joystick

// A HID usage: usage page in the high 16 bits, usage in the low 16 bits.
typedef uint32_t UsageCode;

// The eight axes the relay reads, all on the Generic Desktop page:
// X, Y, Z, Rx, Ry, Rz, Slider, Dial.
extern const UsageCode UsageTable[8];

struct BoxRecord {
    HANDLE ReadHandle;
    HANDLE SecondHandle;  // kept open beside ReadHandle; never read or written
    PHIDP_PREPARSED_DATA PreparsedData;
    HIDD_ATTRIBUTES Attributes;
    HIDP_CAPS Caps;
    BYTE* InputReport;  // the latest input report, report ID in byte 0
    ULONG InputReportLength;
    HIDP_REPORT_TYPE ReportType;
};

// The one process-wide box record.
extern BoxRecord BoxState;

// Opens the first present HID interface that is the box (vendor, product,
// and top-level collection usagePage/usage). Returns 1 when the box is open
// in BoxState, 0 when none matched and nothing is open.
int FindBox(USHORT usagePage, USHORT usage);
