// Layer-internal: what a HANDLE of the POSIX stand-ins is. Only files of
// platform/posix include this.
#pragma once

#include "platform/posix/sys.h"
#include "platform/posix/win32.h"

enum HandleKind { kFileHandle, kThreadHandle };

struct HidDevice;

struct HandleObject {
    HandleKind kind;
    int fd;             // kFileHandle: the open descriptor
    char* path;         // kFileHandle from CreateFileA: the path it opened
    SysThread* thread;  // kThreadHandle
    HidDevice* hid;     // kFileHandle of a HID device node, else nullptr
};

// The object behind a handle, or nullptr for INVALID_HANDLE_VALUE and null.
HandleObject* HandleFromWin32(HANDLE handle);
