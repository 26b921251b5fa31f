// The simulated box's HID identity, report descriptor and input reports.
// Pure data and pure functions: the encoding is tested without a kernel.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

constexpr uint16_t BoxsimVendorId = 0x046D;
constexpr uint16_t BoxsimProductId = 0xC630;

// Input report IDs. Report 6 is a vendor status byte that the relay has no
// row for; it lets a real HID stack deliver an ID the relay must ignore
// (the kernel drops reports whose ID the descriptor does not declare).
enum BoxsimReportId {
    ReportButtons = 1,     // 16 buttons, 1 bit each
    ReportXY = 2,          // X, Y: 10 bits each, 4 bits of padding
    ReportZRx = 3,         // Z, Rx: 16 bits each
    ReportRyRz = 4,        // Ry, Rz: 16 bits each
    ReportSliderDial = 5,  // Slider, Dial: 16 bits each
    ReportStatus = 6,      // one vendor-defined byte
};

extern const unsigned char BoxsimDescriptor[];
extern const size_t BoxsimDescriptorSize;

// Where in the descriptor the top-level collection's Usage value sits
// (Generic Desktop page): 0x04, Joystick, as on the real box.
constexpr size_t BoxsimUsageOffset = 3;

// The largest input report, report ID included.
constexpr size_t BoxsimMaxReportSize = 5;

// The declared length of an input report, report ID included; 0 for an ID
// the descriptor does not declare.
size_t ReportLength(int reportId);

// Encodes input report reportId with readings a and b (b is unused for the
// button and status reports) into out, which holds capacity bytes. Button
// words take 0..0xFFFF, X and Y take 0..1023, the 16-bit fields take
// -32768..65535 (stored as their low 16 bits, so -5 and 0xFFFB are the
// same raw value), the status byte 0..255. Returns the report's length, or
// -1 with an English reason in *error when an ID is undeclared, a value
// does not fit its field or out is too small.
int EncodeReport(int reportId, long a, long b, unsigned char* out, size_t capacity,
                 std::string* error);
