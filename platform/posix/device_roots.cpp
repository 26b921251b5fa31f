#include "platform/posix/device_roots.h"

#include <cstring>

namespace {

constexpr size_t kRootCapacity = 512;
constexpr char kDefaultSysfsRoot[] = "/sys/class/hidraw";
constexpr char kDefaultDevRoot[] = "/dev";

char sysfsRoot[kRootCapacity] = "/sys/class/hidraw";
char devRoot[kRootCapacity] = "/dev";

}  // namespace

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
