// Where the HID stand-ins look for hidraw nodes: the hidraw class
// directory of sysfs and the directory of device nodes, and a fault in
// enumeration. The shipped platform library has the fixed roots and no
// fault, inline; only the one that test programs link
// (dorqin_platform_seams, built with DORQIN_TEST_SEAMS) lets tests point
// the roots at a fake tree of their own and make enumeration fail.
#pragma once

constexpr char HidSysfsDefaultRoot[] = "/sys/class/hidraw";
constexpr char HidDevDefaultRoot[] = "/dev";

#ifdef DORQIN_TEST_SEAMS

// Replaces both roots (nullptr for either restores its default). Returns
// false, changing nothing, when a path is too long to keep.
bool SetHidDeviceRoots(const char* sysClassHidraw, const char* dev);

// "/sys/class/hidraw" unless a test moved it.
const char* HidSysfsRoot();
// "/dev" unless a test moved it.
const char* HidDevRoot();

// Makes SetupDiEnumDeviceInterfaces fail at one index with this error
// instead of answering (error 0: no fault), as Windows' enumeration may
// fail for one interface and answer for the next.
void SetHidEnumerationFault(unsigned long index, unsigned long error);
// The fault set, if any: true and the error for this index.
bool HidEnumerationFault(unsigned long index, unsigned long* error);

#else

inline const char* HidSysfsRoot() { return HidSysfsDefaultRoot; }
inline const char* HidDevRoot() { return HidDevDefaultRoot; }
inline bool HidEnumerationFault(unsigned long, unsigned long*) { return false; }

#endif
