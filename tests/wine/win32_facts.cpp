// Checks, against the real Win32 DLLs (under Wine in CI), the platform
// behaviour that the relay relies on and that our POSIX stand-ins imitate.
// Prints one line per check and exits 1 if any failed.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "box/box.h"
#include "platform/format.h"
#include "platform/platform.h"

// The 32-bit record layouts the box search depends on.
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 28, "SP_DEVICE_INTERFACE_DATA");
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 5, "detail record head");
static_assert(sizeof(HIDD_ATTRIBUTES) == 12, "HIDD_ATTRIBUTES");
static_assert(sizeof(void*) == 4, "a 32-bit build");

namespace {

int failures = 0;

// stderr, so that the check lines never mix into what a test reads on stdout.
void Note(const char* format, ...) PLATFORM_PRINTF_FORMAT(1, 2);
void Note(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
    fflush(stderr);
}

void Check(bool ok, const char* what) {
    Note("%s %s\n", ok ? "ok    " : "FAILED", what);
    if (!ok) ++failures;
}

void CheckError(int got, int want, const char* what) {
    char line[160];
    snprintf(line, sizeof line, "%s (error %d, want %d)", what, got, want);
    Check(got == want, line);
}

SOCKET ListenOnLoopback(USHORT* port) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    SOCKADDR_IN address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(*port);
    if (bind(s, reinterpret_cast<SOCKADDR*>(&address), sizeof address) != 0 ||
        listen(s, 5) != 0) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    int length = sizeof address;
    getsockname(s, reinterpret_cast<SOCKADDR*>(&address), &length);
    *port = ntohs(address.sin_port);
    return s;
}

SOCKET ConnectTo(USHORT port) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    SOCKADDR_IN address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (connect(s, reinterpret_cast<SOCKADDR*>(&address), sizeof address) != 0) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

void Winsock() {
    Check(socket(AF_INET, SOCK_STREAM, 0) == INVALID_SOCKET, "socket fails before WSAStartup");
    CheckError(WSAGetLastError(), WSANOTINITIALISED, "  ... with WSANOTINITIALISED");

    WSADATA data;
    Check(WSAStartup(0x0202, &data) == 0 && data.wVersion == 0x0202, "WSAStartup gives 2.2");

    USHORT port = 0;
    SOCKET listener = ListenOnLoopback(&port);
    Check(listener != INVALID_SOCKET, "listen on a loopback port");
    SOCKET second = socket(AF_INET, SOCK_STREAM, 0);
    SOCKADDR_IN any{};
    any.sin_family = AF_INET;
    any.sin_addr.s_addr = htonl(INADDR_ANY);
    any.sin_port = htons(port);
    Check(bind(second, reinterpret_cast<SOCKADDR*>(&any), sizeof any) == SOCKET_ERROR,
          "bind to a port that is listened on fails");
    CheckError(WSAGetLastError(), WSAEADDRINUSE, "  ... with WSAEADDRINUSE");
    closesocket(second);

    // A peer that resets: the next sends fail with an error result, and
    // the process lives on.
    SOCKET peer = ConnectTo(port);
    SOCKET server = accept(listener, nullptr, nullptr);
    Check(peer != INVALID_SOCKET && server != INVALID_SOCKET, "connect and accept");
    char greeting[44] = "x";
    Check(send(server, greeting, sizeof greeting, 0) == sizeof greeting,
          "a blocking send moves the whole frame");
    LINGER abort = {1, 0};
    setsockopt(peer, SOL_SOCKET, SO_LINGER, reinterpret_cast<char*>(&abort), sizeof abort);
    closesocket(peer);
    int result = 0;
    for (int i = 0; i < 20 && result != SOCKET_ERROR; ++i) {
        result = send(server, greeting, sizeof greeting, 0);
        Sleep(10);
    }
    Check(result == SOCKET_ERROR, "send to a peer that went away returns SOCKET_ERROR");
    CheckError(WSAGetLastError(), WSAECONNRESET, "  ... with WSAECONNRESET");

    // The server side closes first (as the relay's process end does): the
    // port must be free again for a restart without any socket option.
    peer = ConnectTo(port);
    SOCKET again = accept(listener, nullptr, nullptr);
    closesocket(again);
    closesocket(server);
    closesocket(listener);
    char drain[16];
    recv(peer, drain, sizeof drain, 0);
    closesocket(peer);
    USHORT same = port;
    listener = ListenOnLoopback(&same);
    Check(listener != INVALID_SOCKET && same == port,
          "the port binds again right after the server closed first");
    closesocket(listener);

    IN_ADDR address;
    address.s_addr = htonl(0xC0A8010A);
    Check(strcmp(inet_ntoa(address), "192.168.1.10") == 0, "inet_ntoa gives dotted decimal");

    while (WSACleanup() == 0) {
    }
    // Only the error result matters to the relay. Windows names it
    // WSANOTINITIALISED; Wine 8 has closed the socket and says WSAENOTSOCK.
    Check(send(server, "x", 1, 0) == SOCKET_ERROR, "send fails after the last WSACleanup");
    int error = WSAGetLastError();
    Note("       ... with error %d (Windows: %d; Wine: %d)\n", error, WSANOTINITIALISED,
         WSAENOTSOCK);
}

bool NothingOpen() {
    return BoxState.ReadHandle == INVALID_HANDLE_VALUE &&
           BoxState.SecondHandle == INVALID_HANDLE_VALUE && BoxState.PreparsedData == nullptr;
}

// The box search's own steps on an interface that is not the box: it must
// open it exactly as the listing above did, then reject it and close it.
void BoxCodeOnInterface(HDEVINFO list, PSP_DEVICE_INTERFACE_DATA data,
                        const HIDD_ATTRIBUTES& attributes, const HIDP_CAPS& caps) {
    Check(OpenBoxInterface(list, data) == 1 &&
              BoxState.Attributes.VendorID == attributes.VendorID &&
              BoxState.Attributes.ProductID == attributes.ProductID &&
              BoxState.Caps.UsagePage == caps.UsagePage && BoxState.Caps.Usage == caps.Usage &&
              BoxState.Caps.InputReportByteLength == caps.InputReportByteLength,
          "  OpenBoxInterface opens it and reads the same identity");
    Check(BoxState.ReadHandle != INVALID_HANDLE_VALUE &&
              BoxState.SecondHandle != INVALID_HANDLE_VALUE &&
              BoxState.ReadHandle != BoxState.SecondHandle,
          "  ... through two handles");
    if (AllocReportBuffer() == 1) {
        ULONG value = 0x5A5A;
        NTSTATUS status = HidP_GetUsageValue(
            HidP_Input, 0x01, 0, 0x30, &value, BoxState.PreparsedData,
            reinterpret_cast<PCHAR>(BoxState.InputReport), BoxState.InputReportLength);
        // Wine's virtual mouse and keyboard carry no X axis.
        if (status == HIDP_STATUS_USAGE_NOT_FOUND) {
            Check(ReadUsageValue(UsageTable[0]) == 0, "  a usage the device lacks reads as 0");
        }
    }
    CloseBox();
    Check(NothingOpen(), "  CloseBox releases both handles and the preparsed data");
    Check(TryBoxInterface(list, data, caps.UsagePage, caps.Usage) == 0 && NothingOpen(),
          "  TryBoxInterface rejects it by vendor and leaves nothing open");
}

// Lists the present HID interfaces the way the box search walks them.
void HidEnumeration() {
    GUID hid;
    HidD_GetHidGuid(&hid);
    HDEVINFO list = SetupDiGetClassDevsA(&hid, nullptr, nullptr,
                                         DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    Check(list != INVALID_HANDLE_VALUE, "SetupDiGetClassDevsA gives a list of HID interfaces");
    if (list == INVALID_HANDLE_VALUE) return;
    DWORD index = 0;
    for (;; ++index) {
        SP_DEVICE_INTERFACE_DATA data;
        data.cbSize = sizeof data;
        if (!SetupDiEnumDeviceInterfaces(list, nullptr, &hid, index, &data)) {
            CheckError(static_cast<int>(GetLastError()), ERROR_NO_MORE_ITEMS,
                       "the enumeration ends with ERROR_NO_MORE_ITEMS");
            break;
        }
        DWORD size = 0;
        BOOL sized = SetupDiGetDeviceInterfaceDetailA(list, &data, nullptr, 0, &size, nullptr);
        Check(!sized && GetLastError() == ERROR_INSUFFICIENT_BUFFER && size > 5,
              "  the size query fails with ERROR_INSUFFICIENT_BUFFER and names a size");
        auto* detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(operator new(size));
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        Check(SetupDiGetDeviceInterfaceDetailA(list, &data, detail, size, nullptr, nullptr),
              "  the detail record is fetched with cbSize 5");
        HANDLE device = CreateFileA(detail->DevicePath, GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                    0, nullptr);
        Note("       interface %lu: %s: ", index, detail->DevicePath);
        operator delete(detail);
        if (device == INVALID_HANDLE_VALUE) {
            Note("does not open (error %lu)\n", GetLastError());
            continue;
        }
        HIDD_ATTRIBUTES attributes;
        attributes.Size = sizeof attributes;
        PHIDP_PREPARSED_DATA preparsed = nullptr;
        HIDP_CAPS caps{};
        bool got = HidD_GetAttributes(device, &attributes) &&
                   HidD_GetPreparsedData(device, &preparsed) &&
                   HidP_GetCaps(preparsed, &caps) == HIDP_STATUS_SUCCESS;
        if (got) {
            Note("vendor %04X product %04X usage %02X/%02X input report %u bytes\n",
                 attributes.VendorID, attributes.ProductID, caps.UsagePage, caps.Usage,
                 caps.InputReportByteLength);
        } else {
            Note("no HID attributes or capabilities\n");
        }
        if (preparsed) HidD_FreePreparsedData(preparsed);
        CloseHandle(device);
        if (got) BoxCodeOnInterface(list, &data, attributes, caps);
    }
    SetupDiDestroyDeviceInfoList(list);
    Note("       %lu HID interface(s) present\n", index);

    Check(FindBox(BoxUsagePage, BoxUsage) == 0, "FindBox finds no box here and returns");
    Check(NothingOpen(), "  ... and leaves nothing open");
}

DWORD WINAPI BlockInRead(LPVOID pipe) {
    char c;
    DWORD got;
    ReadFile(static_cast<HANDLE>(pipe), &c, 1, &got, nullptr);
    return 0;
}

DWORD WINAPI WriteForever(LPVOID pipe) {
    for (;;) {
        char text[100];
        int length = snprintf(text, sizeof text, "<DORQIN TYP=\"%i\" ID=\"%i\" VALUE=\"%i\" />\n",
                              3, 0, 700);
        DWORD written;
        WriteFile(static_cast<HANDLE>(pipe), text, static_cast<DWORD>(length), &written, nullptr);
    }
}

// The relay thread is stopped from outside, wherever it is; what the main
// thread does next must not wait on anything the stopped thread held.
void Threads() {
    HANDLE readEnd, writeEnd;
    Check(CreatePipe(&readEnd, &writeEnd, nullptr, 0), "CreatePipe");
    HANDLE reader = CreateThread(nullptr, 0, BlockInRead, readEnd, 0, nullptr);
    Sleep(100);
    Check(TerminateThread(reader, 0) != 0, "TerminateThread stops a thread blocked in ReadFile");
    Check(WaitForSingleObject(reader, 5000) == WAIT_OBJECT_0, "  ... and it ends");

    HANDLE nul = CreateFileA("NUL", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    HANDLE writer = CreateThread(nullptr, 0, WriteForever, nul, 0, nullptr);
    Sleep(200);
    Check(TerminateThread(writer, 0) != 0, "TerminateThread stops a thread that formats and writes");
    Check(WaitForSingleObject(writer, 5000) == WAIT_OBJECT_0, "  ... and it ends");
    char text[64];
    snprintf(text, sizeof text, "%zu %lld", static_cast<size_t>(5), 1LL << 40);
    Check(strcmp(text, "5 1099511627776") == 0,
          "formatting still works after the stop, in the C99 dialect");
    DWORD written = 0;
    Check(WriteFile(writeEnd, "\n", 1, &written, nullptr) && written == 1,
          "a write after the stop goes through");
    char c = 0;
    DWORD got = 0;
    Check(ReadFile(readEnd, &c, 1, &got, nullptr) && got == 1 && c == '\n',
          "  ... as one LF byte");
    CloseHandle(nul);
    CloseHandle(readEnd);
    CloseHandle(writeEnd);
}

}  // namespace

int main() {
    Winsock();
    HidEnumeration();
    Threads();
    Note("%d check(s) failed\n", failures);
    return failures == 0 ? 0 : 1;
}
