// The DORQIn Box: finding and opening it among the present HID interfaces,
// reading its input reports and taking readings from them by HID usage.
#pragma once

#include <cstdint>

#include "platform/platform.h"

constexpr USHORT BoxVendorId = 0x046D;
constexpr USHORT BoxProductId = 0xC630;
constexpr USHORT BoxUsagePage = 0x01;  // Generic Desktop
constexpr USHORT BoxUsage = 0x04;      // Joystick

// The relay reads the report ID and the two button bytes straight from the
// buffer, so a box must report at least this many bytes (ID included).
constexpr ULONG MinInputReportLength = 3;

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

// Opens one enumerated interface and keeps it open if it is the box.
// Returns 1 when it is (it stays open in BoxState), 0 when it is not or
// cannot be opened (nothing is open).
int TryBoxInterface(HDEVINFO deviceList, PSP_DEVICE_INTERFACE_DATA interfaceData,
                    USHORT usagePage, USHORT usage);

// Opens both handles of one interface and fetches its preparsed data,
// attributes and capabilities into BoxState. Returns 1 when all of that
// worked, 0 otherwise; on 0 the caller's CloseBox releases what was opened.
int OpenBoxInterface(HDEVINFO deviceList, PSP_DEVICE_INTERFACE_DATA interfaceData);

// Releases whatever BoxState holds and forgets the last candidate's
// attributes and capabilities; does nothing when nothing is open.
void CloseBox(void);

// Allocates the zero-filled input report buffer for the open box (at least
// MinInputReportLength bytes) and records the box's input report length.
// Returns 1, or 0 when the buffer cannot be allocated (nothing changes).
int AllocReportBuffer(void);

// Waits for one input report and reads it into InputReport, asking for
// InputReportLength bytes. Returns the byte count, or 0 when the read
// failed or delivered nothing.
int ReadInputReport(void);

// The low 16 bits of the raw value of usage code in the current report;
// 0 when the report does not carry that usage.
USHORT ReadUsageValue(UsageCode code);
