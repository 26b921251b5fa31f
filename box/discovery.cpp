// Finding the box among the present HID interfaces and opening it.
#include <cstdlib>
#include <cstring>

#include "box/box.h"

BoxRecord BoxState = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE, nullptr, {}, {}, nullptr, 0,
                      HidP_Input};

const UsageCode UsageTable[8] = {0x00010030, 0x00010031, 0x00010032, 0x00010033,
                                 0x00010034, 0x00010035, 0x00010036, 0x00010037};

namespace {

// Enumeration ends with ERROR_NO_MORE_ITEMS; should it fail with some
// other error at every index instead, the search still ends here.
constexpr DWORD MaxInterfaceIndex = 65536;

bool IsOpen(HANDLE handle) { return handle != INVALID_HANDLE_VALUE && handle != nullptr; }

HANDLE OpenDevicePath(const char* path) {
    return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       nullptr, OPEN_EXISTING, 0, nullptr);
}

}  // namespace

void CloseBox(void) {
    if (BoxState.PreparsedData) {
        HidD_FreePreparsedData(BoxState.PreparsedData);
        BoxState.PreparsedData = nullptr;
    }
    if (IsOpen(BoxState.ReadHandle)) CloseHandle(BoxState.ReadHandle);
    if (IsOpen(BoxState.SecondHandle)) CloseHandle(BoxState.SecondHandle);
    BoxState.ReadHandle = INVALID_HANDLE_VALUE;
    BoxState.SecondHandle = INVALID_HANDLE_VALUE;
    // The next candidate is judged by its own identity only.
    memset(&BoxState.Attributes, 0, sizeof BoxState.Attributes);
    memset(&BoxState.Caps, 0, sizeof BoxState.Caps);
}

int OpenBoxInterface(HDEVINFO deviceList, PSP_DEVICE_INTERFACE_DATA interfaceData) {
    memset(&BoxState.Attributes, 0, sizeof BoxState.Attributes);
    memset(&BoxState.Caps, 0, sizeof BoxState.Caps);

    // The size query fails by design and reports the size it needs.
    DWORD required = 0;
    SetupDiGetDeviceInterfaceDetailA(deviceList, interfaceData, nullptr, 0, &required, nullptr);
    if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) return 0;
    PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail =
        static_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(malloc(required));
    if (!detail) return 0;
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (!SetupDiGetDeviceInterfaceDetailA(deviceList, interfaceData, detail, required, nullptr,
                                          nullptr)) {
        free(detail);
        return 0;
    }
    // The path must end inside the block, whatever the platform wrote.
    reinterpret_cast<char*>(detail)[required - 1] = '\0';

    BoxState.ReadHandle = OpenDevicePath(detail->DevicePath);
    BoxState.SecondHandle = OpenDevicePath(detail->DevicePath);
    free(detail);
    if (!IsOpen(BoxState.ReadHandle) || !IsOpen(BoxState.SecondHandle)) return 0;

    // A candidate whose data cannot be had is no box: its identity would
    // rest on nothing, and capabilities need preparsed data to come from.
    BoxState.Attributes.Size = sizeof(HIDD_ATTRIBUTES);
    if (!HidD_GetPreparsedData(BoxState.ReadHandle, &BoxState.PreparsedData)) {
        BoxState.PreparsedData = nullptr;
        return 0;
    }
    if (!HidD_GetAttributes(BoxState.ReadHandle, &BoxState.Attributes)) return 0;
    if (HidP_GetCaps(BoxState.PreparsedData, &BoxState.Caps) != HIDP_STATUS_SUCCESS) return 0;
    return 1;
}

int TryBoxInterface(HDEVINFO deviceList, PSP_DEVICE_INTERFACE_DATA interfaceData,
                    USHORT usagePage, USHORT usage) {
    CloseBox();
    bool isBox = OpenBoxInterface(deviceList, interfaceData) == 1;
    // Vendor first, then the top-level collection, then the product.
    isBox = isBox && BoxState.Attributes.VendorID == BoxVendorId;
    isBox = isBox && BoxState.Caps.UsagePage == usagePage && BoxState.Caps.Usage == usage;
    isBox = isBox && BoxState.Attributes.ProductID == BoxProductId;
    // A box whose reports cannot hold the ID and the button bytes cannot be
    // relayed; with no input report at all it would never deliver one.
    isBox = isBox && BoxState.Caps.InputReportByteLength >= MinInputReportLength;
    if (!isBox) {
        CloseBox();
        return 0;
    }
    return 1;
}

int FindBox(USHORT usagePage, USHORT usage) {
    // A 0 means nothing is open, even with no interface to try.
    CloseBox();
    GUID hidGuid;
    HidD_GetHidGuid(&hidGuid);
    HDEVINFO deviceList =
        SetupDiGetClassDevsA(&hidGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (deviceList == INVALID_HANDLE_VALUE) return 0;

    int found = 0;
    for (DWORD index = 0; index < MaxInterfaceIndex; ++index) {
        SP_DEVICE_INTERFACE_DATA interfaceData;
        memset(&interfaceData, 0, sizeof interfaceData);
        interfaceData.cbSize = sizeof(SP_DEVICE_INTERFACE_DATA);
        if (SetupDiEnumDeviceInterfaces(deviceList, nullptr, &hidGuid, index, &interfaceData)) {
            if (TryBoxInterface(deviceList, &interfaceData, usagePage, usage) == 1) {
                found = 1;
                break;
            }
        } else if (GetLastError() == ERROR_NO_MORE_ITEMS) {
            break;
        }
    }
    SetupDiDestroyDeviceInfoList(deviceList);
    return found;
}
