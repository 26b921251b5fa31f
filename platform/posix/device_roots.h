// Where the HID stand-ins look for hidraw nodes: the hidraw class
// directory of sysfs and the directory of device nodes. The program never
// moves them; tests point them at a fake tree of their own.
#pragma once

// Replaces both roots (nullptr for either restores its default). Returns
// false, changing nothing, when a path is too long to keep.
bool SetHidDeviceRoots(const char* sysClassHidraw, const char* dev);

// "/sys/class/hidraw" unless a test moved it.
const char* HidSysfsRoot();
// "/dev" unless a test moved it.
const char* HidDevRoot();
