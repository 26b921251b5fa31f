// The test seams of the HID stand-ins; built into dorqin_platform_seams
// only (see device_roots.h).
#include "platform/posix/device_roots.h"

#include <cstring>

namespace {

constexpr size_t kRootCapacity = 512;
char sysfsRoot[kRootCapacity] = "/sys/class/hidraw";
char devRoot[kRootCapacity] = "/dev";

unsigned long faultIndex = 0;
unsigned long faultError = 0;

}  // namespace

void SetHidEnumerationFault(unsigned long index, unsigned long error) {
    faultIndex = index;
    faultError = error;
}

bool HidEnumerationFault(unsigned long index, unsigned long* error) {
    if (faultError == 0 || index != faultIndex) return false;
    *error = faultError;
    return true;
}

bool SetHidDeviceRoots(const char* sysClassHidraw, const char* dev) {
    if (!sysClassHidraw) sysClassHidraw = HidSysfsDefaultRoot;
    if (!dev) dev = HidDevDefaultRoot;
    if (strlen(sysClassHidraw) >= kRootCapacity || strlen(dev) >= kRootCapacity) return false;
    strcpy(sysfsRoot, sysClassHidraw);
    strcpy(devRoot, dev);
    return true;
}

const char* HidSysfsRoot() { return sysfsRoot; }

const char* HidDevRoot() { return devRoot; }
