// Layer-internal: what a file handle knows when it is a hidraw node, and
// how ReadFile reads one. Only files of platform/posix include this.
#pragma once

#include "platform/posix/hid_descriptor.h"
#include "platform/posix/win32.h"

struct HidDevice {
    uint16_t vendor;
    uint16_t product;
    uint16_t version;            // hidraw does not tell it: always 0
    HidDescriptor* descriptor;   // nullptr when the descriptor did not parse
    uint32_t inputReportLength;  // as HidP_GetCaps gives it
};

// What the node at path (open as fd) is, through the hidraw ioctls or else
// through its sysfs entry; nullptr for anything that is no HID device.
HidDevice* HidProbeDevice(int fd, const char* path);
void HidReleaseDevice(HidDevice* device);

// ReadFile on a HID device, with Windows' result: one whole report, report
// ID first (0 for a device without report IDs), zero-filled to the end of
// the buffer, counted as inputReportLength bytes.
BOOL HidReadReport(const HidDevice* device, int fd, LPVOID buffer, DWORD bytesToRead,
                   LPDWORD bytesRead);

// The sysfs entry name of a device path under the device root ("hidraw3"
// for "/dev/hidraw3"), or nullptr for any other path.
const char* HidNodeName(const char* path);
