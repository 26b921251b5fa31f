// Layer-internal: what a file handle knows when it is a hidraw node, and
// how ReadFile reads one. Only files of platform/posix include this.
#pragma once

#include "platform/posix/hid_descriptor.h"
#include "platform/posix/win32.h"

// One interface: a top-level collection of a hidraw node.
struct HidDevice {
    uint16_t vendor;
    uint16_t product;
    uint16_t version;            // hidraw does not tell it: always 0
    HidDescriptor* descriptor;   // nullptr when the descriptor did not parse
    int top;                     // the top-level collection this handle is
    uint32_t inputReportLength;  // of the collection, as HidP_GetCaps gives it
    uint32_t nodeReportLength;   // the longest input report of the whole node
    uint8_t* scratch;            // one report of the node, read before it is sorted
};

// What the node at path (open as fd) is, through the hidraw ioctls or else
// through its sysfs entry, seen as its top-level collection top; nullptr
// for anything that is no HID device, or has no such collection.
HidDevice* HidProbeDevice(int fd, const char* path, int top);
void HidReleaseDevice(HidDevice* device);

// ReadFile on a HID device, with Windows' result: one whole report of the
// handle's collection, report ID first (0 for a device without report
// IDs), zero-filled to the end of the buffer, counted as inputReportLength
// bytes. Reports of the node's other collections are read and dropped.
BOOL HidReadReport(const HidDevice* device, int fd, LPVOID buffer, DWORD bytesToRead,
                   LPDWORD bytesRead);

// The sysfs entry name of a device path under the device root ("hidraw3"
// for "/dev/hidraw3"), or nullptr for any other path.
const char* HidNodeName(const char* path);

// The interface paths of a node with several top-level collections end in
// "&col01", "&col02"... as Windows' do; a node with one has the plain path.
// Splits such a path into the node's path (into node, capacity bytes) and
// the collection (0-based). False when it does not fit.
bool HidSplitInterfacePath(const char* path, char* node, size_t capacity, int* top);
// The number of top-level collections of the hidraw entry name (1 when
// its descriptor cannot be read or parsed: the node is then one interface).
int HidTopCollectionCount(const char* name);
