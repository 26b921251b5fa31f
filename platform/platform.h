// The one header through which the relay reaches the platform. On Windows
// these are the real SDK headers; elsewhere our POSIX layer declares the
// same names, so no other file needs to know which platform it is on.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <windows.h>
#include <mstcpip.h>  // SIO_KEEPALIVE_VALS
// Windows' ws2ipdef.h has it (Vista and later); mingw-w64's does not.
#ifndef TCP_MAXRT
#define TCP_MAXRT 5
#endif
#include <setupapi.h>
// The mingw-w64 HID headers have no extern "C" of their own and rely on
// windows.h having been included first.
extern "C" {
#include <hidsdi.h>
#include <hidpi.h>
}
#else
#include "platform/posix/win32.h"
#endif
