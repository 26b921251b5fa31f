// SetupAPI's device interface lists over sysfs: one HID interface per
// top-level collection of each present hidraw node, /sys/class/hidraw/
// hidrawN, whose path is the node that its uevent names (DEVNAME) under
// /dev, with "&col01", "&col02"... after it where the node has several
// collections, as Windows' interface paths have. Only the hidraw class
// entry and its device's descriptor are read; the device above it may be
// USB, Bluetooth or uhid alike.
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <new>

#include "platform/posix/device_roots.h"
#include "platform/posix/hid_device.h"
#include "platform/posix/sys.h"
#include "platform/posix/uevent.h"
#include "platform/posix/win32.h"

namespace {

constexpr uint32_t kDeviceListMagic = 0x4C766544;  // "DevL"
constexpr int kMaxInterfaces = 256;
constexpr size_t kPathCapacity = 256;

struct DeviceInterface {
    unsigned long number;  // N of hidrawN: the order of enumeration
    char name[32];
    char path[kPathCapacity];
};

// The set is a snapshot taken when it is made, as on Windows: a device
// that comes or goes afterwards does not change it.
struct DeviceList {
    uint32_t magic;
    int count;
    DeviceInterface interfaces[kMaxInterfaces];
};

bool IsHidGuid(const GUID* guid) {
    GUID hid;
    HidD_GetHidGuid(&hid);
    return guid && memcmp(guid, &hid, sizeof hid) == 0;
}

DeviceList* ListOf(HDEVINFO set) {
    DeviceList* list = static_cast<DeviceList*>(set);
    if (!list || set == INVALID_HANDLE_VALUE || list->magic != kDeviceListMagic) return nullptr;
    return list;
}

// "hidraw" followed by a decimal number that fits.
bool HidrawNumber(const char* name, unsigned long* number) {
    if (strncmp(name, "hidraw", 6) != 0 || !name[6]) return false;
    unsigned long n = 0;
    for (const char* p = name + 6; *p; ++p) {
        if (*p < '0' || *p > '9' || n > 100000000) return false;
        n = n * 10 + static_cast<unsigned long>(*p - '0');
    }
    *number = n;
    return true;
}

int CollectNode(const char* name, void* context) {
    DeviceList* list = static_cast<DeviceList*>(context);
    unsigned long number;
    if (!HidrawNumber(name, &number) || strlen(name) >= sizeof list->interfaces[0].name) return 1;
    if (list->count == kMaxInterfaces) return 0;
    DeviceInterface& entry = list->interfaces[list->count++];
    entry.number = number;
    strcpy(entry.name, name);
    entry.path[0] = '\0';
    return 1;
}

// The node's path from DEVNAME= in its uevent; false when the entry is
// half gone or names a path we would not open.
bool NodePath(const char* name, char* path, size_t capacity) {
    char ueventPath[kPathCapacity * 2];
    const char* root = HidSysfsRoot();
    if (strlen(root) + 1 + strlen(name) + 7 >= sizeof ueventPath) return false;
    strcpy(ueventPath, root);
    strcat(ueventPath, "/");
    strcat(ueventPath, name);
    strcat(ueventPath, "/uevent");
    char devName[kPathCapacity];
    if (!ReadUeventValue(ueventPath, "DEVNAME", devName, sizeof devName)) return false;
    const char* dev = HidDevRoot();
    if (!*devName || *devName == '/' || strstr(devName, "..") ||
        strlen(dev) + 1 + strlen(devName) >= capacity) {
        return false;
    }
    strcpy(path, dev);
    strcat(path, "/");
    strcat(path, devName);
    return true;
}

}  // namespace

HDEVINFO SetupDiGetClassDevsA(const GUID* classGuid, PCSTR enumerator, HWND parent, DWORD flags) {
    (void)parent;
    // Only interface lists, unfiltered by enumerator, are known here.
    if (!(flags & DIGCF_DEVICEINTERFACE) || enumerator ||
        (!classGuid && !(flags & DIGCF_ALLCLASSES))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    DeviceList* list = new (std::nothrow) DeviceList;
    if (!list) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    list->magic = kDeviceListMagic;
    list->count = 0;
    // Without a hidraw class directory there are simply no HID devices. One
    // that cannot be read, or whose listing fails part way, gives no list,
    // as a failed SetupDiGetClassDevs does on Windows: the box search then
    // ends without a box rather than search part of the devices.
    if ((flags & DIGCF_ALLCLASSES) || IsHidGuid(classGuid)) {
        uint32_t error = ERROR_SUCCESS;
        const int listed = SysListDirectory(HidSysfsRoot(), CollectNode, list, &error);
        if (listed == -2 || (listed == -1 && error != ERROR_FILE_NOT_FOUND)) {
            delete list;
            SetLastError(error);
            return INVALID_HANDLE_VALUE;
        }
    }
    // Enumerate in node order (hidraw2 before hidraw10), not in the
    // directory's, so that "the first box" means the same on every run.
    for (int i = 1; i < list->count; ++i) {
        DeviceInterface moving = list->interfaces[i];
        int j = i;
        for (; j > 0 && list->interfaces[j - 1].number > moving.number; --j) {
            list->interfaces[j] = list->interfaces[j - 1];
        }
        list->interfaces[j] = moving;
    }
    // Each node becomes as many interfaces as it has top-level
    // collections, in the order the descriptor declares them.
    const int nodes = list->count;
    DeviceInterface* found = new (std::nothrow) DeviceInterface[nodes > 0 ? nodes : 1];
    if (!found) {
        delete list;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    memcpy(found, list->interfaces, sizeof(DeviceInterface) * static_cast<size_t>(nodes));
    list->count = 0;
    for (int i = 0; i < nodes && list->count < kMaxInterfaces; ++i) {
        DeviceInterface entry = found[i];
        if (!NodePath(entry.name, entry.path, sizeof entry.path)) continue;
        const int tops = HidTopCollectionCount(entry.name);
        for (int t = 0; t < tops && list->count < kMaxInterfaces; ++t) {
            DeviceInterface& out = list->interfaces[list->count];
            out = entry;
            if (tops > 1) {
                char suffix[16];
                snprintf(suffix, sizeof suffix, "&col%02d", t + 1);
                if (strlen(out.path) + strlen(suffix) >= sizeof out.path) continue;
                strcat(out.path, suffix);
            }
            list->count++;
        }
    }
    delete[] found;
    return list;
}

BOOL SetupDiEnumDeviceInterfaces(HDEVINFO deviceInfoSet, PSP_DEVINFO_DATA deviceInfoData,
                                 const GUID* interfaceClassGuid, DWORD memberIndex,
                                 PSP_DEVICE_INTERFACE_DATA deviceInterfaceData) {
    DeviceList* list = ListOf(deviceInfoSet);
    if (!list) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // The set holds no device information elements to filter by.
    if (deviceInfoData || !interfaceClassGuid || !deviceInterfaceData) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (deviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (!IsHidGuid(interfaceClassGuid) || memberIndex >= static_cast<DWORD>(list->count)) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    unsigned long fault = 0;
    if (HidEnumerationFault(memberIndex, &fault)) {
        SetLastError(static_cast<DWORD>(fault));
        return FALSE;
    }
    deviceInterfaceData->InterfaceClassGuid = *interfaceClassGuid;
    deviceInterfaceData->Flags = SPINT_ACTIVE;
    deviceInterfaceData->Reserved = static_cast<ULONG_PTR>(memberIndex) + 1;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO deviceInfoSet,
                                      PSP_DEVICE_INTERFACE_DATA deviceInterfaceData,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail,
                                      DWORD detailSize, PDWORD requiredSize,
                                      PSP_DEVINFO_DATA deviceInfoData) {
    DeviceList* list = ListOf(deviceInfoSet);
    if (!list) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!deviceInterfaceData || deviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) ||
        deviceInterfaceData->Reserved == 0 ||
        deviceInterfaceData->Reserved > static_cast<ULONG_PTR>(list->count)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const DeviceInterface& entry = list->interfaces[deviceInterfaceData->Reserved - 1];
    const size_t head = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    size_t needed = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + strlen(entry.path) + 1;
    if (needed < head) needed = head;
    if (requiredSize) *requiredSize = static_cast<DWORD>(needed);
    // The size query: no record, no size.
    if (!detail) {
        SetLastError(detailSize == 0 ? ERROR_INSUFFICIENT_BUFFER : ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (detailSize < head || detail->cbSize != head) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (detailSize < needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    if (deviceInfoData) {
        if (deviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) {
            SetLastError(ERROR_INVALID_USER_BUFFER);
            return FALSE;
        }
        // The setup class of HID devices (HIDClass).
        deviceInfoData->ClassGuid =
            GUID{0x745A17A0, 0x74D3, 0x11D0, {0xB6, 0xFE, 0x00, 0xA0, 0xC9, 0x0F, 0x57, 0xDA}};
        deviceInfoData->DevInst = static_cast<DWORD>(deviceInterfaceData->Reserved);
        deviceInfoData->Reserved = 0;
    }
    // DevicePath runs on past its declared size, to the end of the block.
    char* devicePath =
        reinterpret_cast<char*>(detail) + offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
    memcpy(devicePath, entry.path, strlen(entry.path) + 1);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO deviceInfoSet) {
    DeviceList* list = ListOf(deviceInfoSet);
    if (!list) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    list->magic = 0;
    delete list;
    return TRUE;
}
