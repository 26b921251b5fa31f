// The one reader of sysfs uevent files (KEY=value, one a line): the HID
// stand-ins read a hidraw node's DEVNAME and its device's HID_ID with it,
// dorqin-boxsim its device's HID_UNIQ. Sees no Win32 or POSIX header, so
// either side may include it.
#pragma once

#include <cstddef>

// Copies the value of the first KEY= line of the uevent file at path into
// value (zero-terminated). Returns false when the file cannot be read, is
// larger than a sysfs page, has no such line, or the value needs more than
// capacity bytes with its terminator.
bool ReadUeventValue(const char* path, const char* key, char* value, size_t capacity);
