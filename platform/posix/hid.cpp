// The HID library's stand-ins (HidD_*, HidP_*) and the device side of
// file handles, over hidraw.
//
// Windows gives every top-level collection its own interface; hidraw gives
// one node per device. Here a node is one interface: its capabilities name
// the first top-level collection, and its report lengths cover every report
// of the node, so that no report the node delivers is ever cut short.
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/posix/device_roots.h"
#include "platform/posix/handles.h"
#include "platform/posix/hid_device.h"
#include "platform/posix/sys.h"

struct _HIDP_PREPARSED_DATA {
    uint32_t magic;
    HidDescriptor descriptor;
};

namespace {

constexpr uint32_t kPreparsedMagic = 0x48506444;  // "DdPH"
constexpr size_t kUeventCapacity = 4096;
constexpr size_t kPathCapacity = 1024;

// HID_ID=0003:0000046D:0000C630 in a device's uevent: bus, vendor and
// product in hex. Returns false unless the line is there and well formed.
bool ParseHidId(const char* uevent, uint16_t* vendor, uint16_t* product) {
    const char* line = uevent;
    while (line && *line) {
        if (strncmp(line, "HID_ID=", 7) == 0) {
            uint32_t parts[3] = {0, 0, 0};
            const char* p = line + 7;
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
            if (*p != '\n' && *p != '\0') return false;
            if (parts[1] > 0xFFFF || parts[2] > 0xFFFF) return false;
            *vendor = static_cast<uint16_t>(parts[1]);
            *product = static_cast<uint16_t>(parts[2]);
            return true;
        }
        line = strchr(line, '\n');
        if (line) ++line;
    }
    return false;
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
    char* uevent = static_cast<char*>(malloc(kUeventCapacity + 1));
    if (!uevent) return false;
    const long n = SysReadSmallFile(path, uevent, kUeventCapacity);
    bool found = false;
    if (n >= 0) {
        uevent[n] = '\0';
        found = ParseHidId(uevent, vendor, product);
    }
    free(uevent);
    return found;
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

HidDevice* HidProbeDevice(int fd, const char* path) {
    // A real node answers the hidraw ioctls; a node standing in for one (a
    // FIFO in tests) is known by its sysfs entry alone.
    const char* name = HidNodeName(path);
    uint32_t bus = 0;
    uint16_t vendor = 0, product = 0;
    const bool byIoctl = SysHidrawInfo(fd, &bus, &vendor, &product) == 0;
    if (!byIoctl && !(name && SysfsIdentity(name, &vendor, &product))) return nullptr;

    HidDevice* device = new (std::nothrow) HidDevice{vendor, product, 0, nullptr, 0};
    uint8_t* bytes = static_cast<uint8_t*>(malloc(kHidMaxDescriptorBytes));
    if (!device || !bytes) {
        delete device;
        free(bytes);
        return nullptr;
    }
    long length = byIoctl ? SysHidrawDescriptor(fd, bytes, kHidMaxDescriptorBytes) : -1;
    if (length < 0 && name) length = SysfsDescriptor(name, bytes, kHidMaxDescriptorBytes);
    if (length >= 0) {
        HidDescriptor* descriptor = new (std::nothrow) HidDescriptor;
        if (descriptor &&
            ParseHidDescriptor(bytes, static_cast<size_t>(length), descriptor) == kHidParseOk) {
            device->descriptor = descriptor;
            device->inputReportLength = HidReportByteLength(descriptor, kHidInput);
        } else {
            delete descriptor;
        }
    }
    free(bytes);
    return device;
}

void HidReleaseDevice(HidDevice* device) {
    if (!device) return;
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
    BYTE* bytes = static_cast<BYTE*>(buffer);
    // hidraw puts no ID byte before the reports of a device without report
    // IDs; Windows puts a 0 there.
    const size_t prefix = device->descriptor->usesReportIds ? 0 : 1;
    if (prefix) bytes[0] = 0;
    uint32_t error = 0;
    const long n = SysRead(fd, bytes + prefix, reportLength - prefix, &error);
    if (n < 0) {
        SetLastError(error);
        return FALSE;
    }
    // A report shorter than the longest one must not leave bytes of an
    // earlier report behind it.
    const size_t filled = n == 0 ? 0 : prefix + static_cast<size_t>(n);
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
    memset(capabilities, 0, sizeof *capabilities);
    capabilities->UsagePage = d->topUsagePage;
    capabilities->Usage = d->topUsage;
    capabilities->InputReportByteLength = static_cast<USHORT>(HidReportByteLength(d, kHidInput));
    capabilities->OutputReportByteLength = static_cast<USHORT>(HidReportByteLength(d, kHidOutput));
    capabilities->FeatureReportByteLength =
        static_cast<USHORT>(HidReportByteLength(d, kHidFeature));
    capabilities->NumberLinkCollectionNodes = static_cast<USHORT>(d->collectionCount);
    HidCountCaps(d, kHidInput, &capabilities->NumberInputButtonCaps,
                 &capabilities->NumberInputValueCaps, &capabilities->NumberInputDataIndices);
    HidCountCaps(d, kHidOutput, &capabilities->NumberOutputButtonCaps,
                 &capabilities->NumberOutputValueCaps, &capabilities->NumberOutputDataIndices);
    HidCountCaps(d, kHidFeature, &capabilities->NumberFeatureButtonCaps,
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
    const HidValueResult result =
        HidGetUsageValue(d, static_cast<HidReportKind>(reportType), usagePage, linkCollection,
                         usage, reinterpret_cast<const uint8_t*>(report), reportLength, &value);
    switch (result) {
    case kHidValueOk:
        *usageValue = value;
        return HIDP_STATUS_SUCCESS;
    case kHidValueWrongLength: return HIDP_STATUS_INVALID_REPORT_LENGTH;
    case kHidValueOtherReport: return HIDP_STATUS_INCOMPATIBLE_REPORT_ID;
    default: return HIDP_STATUS_USAGE_NOT_FOUND;
    }
}
