// The HID library's stand-ins (HidD_*, HidP_*) and the device side of
// file handles, over hidraw.
//
// Windows gives every top-level collection its own interface; hidraw gives
// one node per device. Here each top-level collection of a node is an
// interface of its own, as on Windows: its own caps and report lengths,
// and reads that deliver only its own reports.
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/posix/device_roots.h"
#include "platform/posix/handles.h"
#include "platform/posix/hid_device.h"
#include "platform/posix/sys.h"
#include "platform/posix/uevent.h"

struct _HIDP_PREPARSED_DATA {
    uint32_t magic;
    int top;
    HidDescriptor descriptor;
};

namespace {

constexpr uint32_t kPreparsedMagic = 0x48506444;  // "DdPH"
constexpr size_t kPathCapacity = 1024;

// HID_ID=0003:0000046D:0000C630 in a device's uevent: bus, vendor and
// product in hex. Returns false unless the value is well formed.
bool ParseHidId(const char* id, uint16_t* vendor, uint16_t* product) {
    uint32_t parts[3] = {0, 0, 0};
    const char* p = id;
    for (int i = 0; i < 3; ++i) {
        int digits = 0;
        for (;; ++p, ++digits) {
            const char c = *p;
            int nibble;
            if (c >= '0' && c <= '9') nibble = c - '0';
            else if (c >= 'a' && c <= 'f') nibble = c - 'a' + 10;
            else if (c >= 'A' && c <= 'F') nibble = c - 'A' + 10;
            else break;
            if (digits == 8) return false;
            parts[i] = (parts[i] << 4) | static_cast<uint32_t>(nibble);
        }
        if (digits == 0) return false;
        if (i < 2 && *p++ != ':') return false;
    }
    if (*p != '\0') return false;
    if (parts[1] > 0xFFFF || parts[2] > 0xFFFF) return false;
    *vendor = static_cast<uint16_t>(parts[1]);
    *product = static_cast<uint16_t>(parts[2]);
    return true;
}

bool JoinPath(char* out, size_t capacity, const char* a, const char* b, const char* c) {
    const size_t la = strlen(a), lb = strlen(b), lc = strlen(c);
    if (la + 1 + lb + lc >= capacity) return false;
    memcpy(out, a, la);
    out[la] = '/';
    memcpy(out + la + 1, b, lb);
    memcpy(out + la + 1 + lb, c, lc + 1);
    return true;
}

bool SysfsIdentity(const char* name, uint16_t* vendor, uint16_t* product) {
    char path[kPathCapacity];
    if (!JoinPath(path, sizeof path, HidSysfsRoot(), name, "/device/uevent")) return false;
    // Longer than three 8-digit fields is malformed anyway.
    char id[32];
    return ReadUeventValue(path, "HID_ID", id, sizeof id) && ParseHidId(id, vendor, product);
}

long SysfsDescriptor(const char* name, uint8_t* buffer, size_t capacity) {
    char path[kPathCapacity];
    if (!JoinPath(path, sizeof path, HidSysfsRoot(), name, "/device/report_descriptor")) return -1;
    return SysReadSmallFile(path, buffer, capacity);
}

HidDevice* DeviceOf(HANDLE handle) {
    HandleObject* object = HandleFromWin32(handle);
    return object && object->kind == kFileHandle ? object->hid : nullptr;
}

const HidDescriptor* DescriptorOf(PHIDP_PREPARSED_DATA data) {
    return data && data->magic == kPreparsedMagic ? &data->descriptor : nullptr;
}

// The node's descriptor, parsed; nullptr when it cannot be had or parsed.
HidDescriptor* ReadDescriptor(int fd, const char* name, bool byIoctl) {
    uint8_t* bytes = static_cast<uint8_t*>(malloc(kHidMaxDescriptorBytes));
    if (!bytes) return nullptr;
    long length = byIoctl ? SysHidrawDescriptor(fd, bytes, kHidMaxDescriptorBytes) : -1;
    if (length < 0 && name) length = SysfsDescriptor(name, bytes, kHidMaxDescriptorBytes);
    HidDescriptor* descriptor = nullptr;
    if (length >= 0) {
        descriptor = new (std::nothrow) HidDescriptor;
        if (descriptor &&
            ParseHidDescriptor(bytes, static_cast<size_t>(length), descriptor) != kHidParseOk) {
            delete descriptor;
            descriptor = nullptr;
        }
    }
    free(bytes);
    return descriptor;
}

}  // namespace

const char* HidNodeName(const char* path) {
    const char* root = HidDevRoot();
    const size_t rootLength = strlen(root);
    if (strncmp(path, root, rootLength) != 0 || path[rootLength] != '/') return nullptr;
    const char* name = path + rootLength + 1;
    // hidraw nodes sit directly in the device root.
    if (!*name || strchr(name, '/') || strcmp(name, ".") == 0 || strcmp(name, "..") == 0) {
        return nullptr;
    }
    return name;
}

bool HidSplitInterfacePath(const char* path, char* node, size_t capacity, int* top) {
    const size_t length = strlen(path);
    *top = 0;
    size_t nodeLength = length;
    // "&colNN", two decimal digits from 01.
    if (length > 6 && strncmp(path + length - 6, "&col", 4) == 0 && path[length - 2] >= '0' &&
        path[length - 2] <= '9' && path[length - 1] >= '0' && path[length - 1] <= '9') {
        const int number = (path[length - 2] - '0') * 10 + (path[length - 1] - '0');
        if (number == 0) return false;
        *top = number - 1;
        nodeLength = length - 6;
    }
    if (nodeLength >= capacity) return false;
    memcpy(node, path, nodeLength);
    node[nodeLength] = '\0';
    return true;
}

int HidTopCollectionCount(const char* name) {
    HidDescriptor* descriptor = ReadDescriptor(-1, name, false);
    const int count = descriptor ? descriptor->topCount : 1;
    delete descriptor;
    return count;
}

HidDevice* HidProbeDevice(int fd, const char* path, int top) {
    // A real node answers the hidraw ioctls; a node standing in for one (a
    // FIFO in tests) is known by its sysfs entry alone.
    const char* name = HidNodeName(path);
    uint32_t bus = 0;
    uint16_t vendor = 0, product = 0;
    const bool byIoctl = SysHidrawInfo(fd, &bus, &vendor, &product) == 0;
    if (!byIoctl && !(name && SysfsIdentity(name, &vendor, &product))) return nullptr;

    HidDescriptor* descriptor = ReadDescriptor(fd, name, byIoctl);
    // A collection the descriptor does not have is no interface at all,
    // whereas a node whose descriptor cannot be read is still one.
    if (top > 0 && (!descriptor || top >= descriptor->topCount)) {
        delete descriptor;
        return nullptr;
    }
    HidDevice* device =
        new (std::nothrow) HidDevice{vendor, product, 0, descriptor, top, 0, 0, nullptr};
    if (!device) {
        delete descriptor;
        return nullptr;
    }
    if (descriptor) {
        device->inputReportLength = HidReportByteLength(descriptor, top, kHidInput);
        for (int t = 0; t < descriptor->topCount; ++t) {
            const uint32_t length = HidReportByteLength(descriptor, t, kHidInput);
            if (length > device->nodeReportLength) device->nodeReportLength = length;
        }
        device->scratch = static_cast<uint8_t*>(malloc(device->nodeReportLength + 1));
        if (!device->scratch) {
            HidReleaseDevice(device);
            return nullptr;
        }
    }
    return device;
}

void HidReleaseDevice(HidDevice* device) {
    if (!device) return;
    free(device->scratch);
    delete device->descriptor;
    delete device;
}

BOOL HidReadReport(const HidDevice* device, int fd, LPVOID buffer, DWORD bytesToRead,
                   LPDWORD bytesRead) {
    const uint32_t reportLength = device->inputReportLength;
    if (!device->descriptor || reportLength == 0) {
        // No usable descriptor or no input report: Windows would offer no
        // interface for such a device at all.
        SetLastError(ERROR_INVALID_FUNCTION);
        return FALSE;
    }
    // Like Windows, refuse a buffer that cannot hold the longest report,
    // rather than hand out a truncated one.
    if (!buffer || bytesToRead < reportLength) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    // hidraw puts no ID byte before the reports of a device without report
    // IDs; Windows puts a 0 there.
    const size_t prefix = device->descriptor->usesReportIds ? 0 : 1;
    BYTE* bytes = static_cast<BYTE*>(buffer);
    // Straight into the caller's buffer where it holds the node's longest
    // report (so on every device of one collection, the box's included);
    // else through the scratch block, so that a longer report of another
    // collection is dropped whole, never cut.
    uint8_t* target = bytesToRead >= device->nodeReportLength ? bytes : device->scratch;
    long n;
    for (;;) {
        uint32_t error = 0;
        target[0] = 0;
        n = SysRead(fd, target + prefix, device->nodeReportLength - prefix, &error);
        if (n < 0) {
            SetLastError(error);
            return FALSE;
        }
        if (n == 0 || HidInputReportOwner(device->descriptor, target[0]) == device->top) break;
    }
    // A report shorter than the longest one must not leave bytes of an
    // earlier report behind it.
    size_t filled = n == 0 ? 0 : prefix + static_cast<size_t>(n);
    if (filled > reportLength) filled = reportLength;
    if (target != bytes) memcpy(bytes, target, filled);
    memset(bytes + filled, 0, bytesToRead - filled);
    if (bytesRead) *bytesRead = n == 0 ? 0 : reportLength;
    return TRUE;
}

// ---- HID library -----------------------------------------------------------

void HidD_GetHidGuid(LPGUID hidGuid) {
    if (!hidGuid) return;
    // The interface class GUID of HID devices on Windows.
    *hidGuid = GUID{0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
}

BOOLEAN HidD_GetAttributes(HANDLE device, PHIDD_ATTRIBUTES attributes) {
    const HidDevice* hid = DeviceOf(device);
    if (!hid || !attributes) {
        SetLastError(hid ? ERROR_INVALID_PARAMETER : ERROR_INVALID_FUNCTION);
        return FALSE;
    }
    attributes->Size = sizeof(HIDD_ATTRIBUTES);
    attributes->VendorID = hid->vendor;
    attributes->ProductID = hid->product;
    attributes->VersionNumber = hid->version;
    return TRUE;
}

BOOLEAN HidD_GetPreparsedData(HANDLE device, PHIDP_PREPARSED_DATA* preparsedData) {
    const HidDevice* hid = DeviceOf(device);
    if (!preparsedData) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!hid || !hid->descriptor) {
        SetLastError(hid ? ERROR_INVALID_DATA : ERROR_INVALID_FUNCTION);
        return FALSE;
    }
    PHIDP_PREPARSED_DATA data = new (std::nothrow) _HIDP_PREPARSED_DATA;
    if (!data) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    data->magic = kPreparsedMagic;
    data->top = hid->top;
    data->descriptor = *hid->descriptor;
    *preparsedData = data;
    return TRUE;
}

BOOLEAN HidD_FreePreparsedData(PHIDP_PREPARSED_DATA preparsedData) {
    if (!DescriptorOf(preparsedData)) return FALSE;
    preparsedData->magic = 0;
    delete preparsedData;
    return TRUE;
}

NTSTATUS HidP_GetCaps(PHIDP_PREPARSED_DATA preparsedData, PHIDP_CAPS capabilities) {
    const HidDescriptor* d = DescriptorOf(preparsedData);
    if (!d) return HIDP_STATUS_INVALID_PREPARSED_DATA;
    if (!capabilities) return HIDP_STATUS_NULL;
    const int top = preparsedData->top;
    const HidTopCollection& collection = d->tops[top];
    memset(capabilities, 0, sizeof *capabilities);
    capabilities->UsagePage = collection.usagePage;
    capabilities->Usage = collection.usage;
    capabilities->InputReportByteLength =
        static_cast<USHORT>(HidReportByteLength(d, top, kHidInput));
    capabilities->OutputReportByteLength =
        static_cast<USHORT>(HidReportByteLength(d, top, kHidOutput));
    capabilities->FeatureReportByteLength =
        static_cast<USHORT>(HidReportByteLength(d, top, kHidFeature));
    capabilities->NumberLinkCollectionNodes = collection.collectionCount;
    HidCountCaps(d, top, kHidInput, &capabilities->NumberInputButtonCaps,
                 &capabilities->NumberInputValueCaps, &capabilities->NumberInputDataIndices);
    HidCountCaps(d, top, kHidOutput, &capabilities->NumberOutputButtonCaps,
                 &capabilities->NumberOutputValueCaps, &capabilities->NumberOutputDataIndices);
    HidCountCaps(d, top, kHidFeature, &capabilities->NumberFeatureButtonCaps,
                 &capabilities->NumberFeatureValueCaps, &capabilities->NumberFeatureDataIndices);
    return HIDP_STATUS_SUCCESS;
}

NTSTATUS HidP_GetUsageValue(HIDP_REPORT_TYPE reportType, USAGE usagePage, USHORT linkCollection,
                            USAGE usage, PULONG usageValue, PHIDP_PREPARSED_DATA preparsedData,
                            PCHAR report, ULONG reportLength) {
    const HidDescriptor* d = DescriptorOf(preparsedData);
    if (!d) return HIDP_STATUS_INVALID_PREPARSED_DATA;
    if (reportType != HidP_Input && reportType != HidP_Output && reportType != HidP_Feature) {
        return HIDP_STATUS_INVALID_REPORT_TYPE;
    }
    if (!usageValue) return HIDP_STATUS_NULL;
    uint32_t value = 0;
    const HidValueResult result = HidGetUsageValue(
        d, preparsedData->top, static_cast<HidReportKind>(reportType), usagePage, linkCollection,
        usage, reinterpret_cast<const uint8_t*>(report), reportLength, &value);
    switch (result) {
    case kHidValueOk:
        *usageValue = value;
        return HIDP_STATUS_SUCCESS;
    case kHidValueWrongLength: return HIDP_STATUS_INVALID_REPORT_LENGTH;
    case kHidValueOtherReport: return HIDP_STATUS_INCOMPATIBLE_REPORT_ID;
    case kHidValueTooWide: return HIDP_STATUS_BUFFER_TOO_SMALL;
    default: return HIDP_STATUS_USAGE_NOT_FOUND;
    }
}
