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

// Tests only: makes SetupDiEnumDeviceInterfaces fail at one index with this
// error instead of answering (error 0: no fault), as Windows' enumeration
// may fail for one interface and answer for the next.
void SetHidEnumerationFault(unsigned long index, unsigned long error);
// The fault set, if any: true and the error for this index.
bool HidEnumerationFault(unsigned long index, unsigned long* error);
