#include "platform/posix/device_roots.h"

#include <cstring>

namespace {

constexpr size_t kRootCapacity = 512;
constexpr char kDefaultSysfsRoot[] = "/sys/class/hidraw";
constexpr char kDefaultDevRoot[] = "/dev";

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
    if (!sysClassHidraw) sysClassHidraw = kDefaultSysfsRoot;
    if (!dev) dev = kDefaultDevRoot;
    if (strlen(sysClassHidraw) >= kRootCapacity || strlen(dev) >= kRootCapacity) return false;
    strcpy(sysfsRoot, sysClassHidraw);
    strcpy(devRoot, dev);
    return true;
}

const char* HidSysfsRoot() { return sysfsRoot; }

const char* HidDevRoot() { return devRoot; }
