// The slice of the Win32 API that the relay uses, declared for POSIX hosts.
//
// Types, constants and signatures follow the Windows SDK, so the relay's
// code reads the same on both platforms. Widths are fixed where Windows
// fixes them (DWORD and ULONG are 32 bits even on LP64). This header must
// never meet a POSIX header in one translation unit: the implementation
// reaches the system only through platform/posix/sys.h.
#pragma once

#include <cstddef>
#include <cstdint>

// ---- Basic types ---------------------------------------------------------

#define WINAPI
#define CALLBACK

typedef int BOOL;
typedef unsigned char BOOLEAN;
typedef unsigned char BYTE;
typedef char CHAR;
typedef uint16_t WORD;
typedef uint16_t USHORT;
typedef uint32_t DWORD;
typedef uint32_t ULONG;
typedef int32_t LONG;
typedef uintptr_t ULONG_PTR;
typedef uintptr_t UINT_PTR;
typedef size_t SIZE_T;
typedef void* HANDLE;
typedef void* HWND;
typedef void* LPVOID;
typedef DWORD* LPDWORD;
typedef DWORD* PDWORD;
typedef ULONG* PULONG;
typedef char* PCHAR;
typedef const char* LPCSTR;
typedef const char* PCSTR;
typedef LONG NTSTATUS;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)

typedef struct _SECURITY_ATTRIBUTES* LPSECURITY_ATTRIBUTES;
typedef struct _OVERLAPPED* LPOVERLAPPED;

typedef struct _GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
} GUID, *LPGUID;

// ---- Kernel: errors, handles, files, console, threads --------------------

#define ERROR_SUCCESS 0
#define ERROR_INVALID_FUNCTION 1
#define ERROR_FILE_NOT_FOUND 2
#define ERROR_ACCESS_DENIED 5
#define ERROR_INVALID_HANDLE 6
#define ERROR_NOT_ENOUGH_MEMORY 8
#define ERROR_INVALID_DATA 13
#define ERROR_GEN_FAILURE 31
#define ERROR_INVALID_PARAMETER 87
#define ERROR_INSUFFICIENT_BUFFER 122
#define ERROR_NO_MORE_ITEMS 259
#define ERROR_DEVICE_NOT_CONNECTED 1167
#define ERROR_INVALID_USER_BUFFER 1784

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define OPEN_EXISTING 3

#define STD_INPUT_HANDLE ((DWORD)-10)
#define STD_OUTPUT_HANDLE ((DWORD)-11)
#define STD_ERROR_HANDLE ((DWORD)-12)

DWORD GetLastError(void);
void SetLastError(DWORD error);

HANDLE CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode,
                   LPSECURITY_ATTRIBUTES security, DWORD creationDisposition,
                   DWORD flagsAndAttributes, HANDLE templateFile);
BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead,
              LPOVERLAPPED overlapped);
BOOL WriteFile(HANDLE file, const void* buffer, DWORD bytesToWrite,
               LPDWORD bytesWritten, LPOVERLAPPED overlapped);
BOOL CloseHandle(HANDLE object);
HANDLE GetStdHandle(DWORD stdHandle);

typedef DWORD(WINAPI* LPTHREAD_START_ROUTINE)(LPVOID parameter);

HANDLE CreateThread(LPSECURITY_ATTRIBUTES security, SIZE_T stackSize,
                    LPTHREAD_START_ROUTINE startAddress, LPVOID parameter,
                    DWORD creationFlags, LPDWORD threadId);
// Unlike Windows, returns only once the thread is gone: it is cancelled at
// its next blocking call and joined, so it cannot die holding a lock.
BOOL TerminateThread(HANDLE thread, DWORD exitCode);

#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0u
#define WAIT_FAILED 0xFFFFFFFFu

// Waits the time given; Sleep(0) gives up the rest of the time slice.
void Sleep(DWORD milliseconds);

// Waits until a thread has ended. Only thread handles and INFINITE, the
// one wait the relay makes.
DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds);

// ---- Windows Sockets 2 ---------------------------------------------------

typedef UINT_PTR SOCKET;
typedef unsigned short u_short;

#define INVALID_SOCKET ((SOCKET)~(SOCKET)0)
#define SOCKET_ERROR (-1)

#define AF_INET 2
#define SOCK_STREAM 1
#define IPPROTO_TCP 6
#define INADDR_ANY ((uint32_t)0x00000000)
#define INADDR_LOOPBACK ((uint32_t)0x7f000001)
#define SOMAXCONN 0x7fffffff

#define TCP_NODELAY 0x0001
// Seconds that sent data may go unacknowledged before the connection is
// dropped (ws2ipdef.h); a peer that answers the probes of its closed
// window is kept however long.
#define TCP_MAXRT 5

// Per-connection keepalive, in milliseconds (mstcpip.h). Windows sends 10
// probes before it gives up, a number no caller can change.
struct tcp_keepalive {
    ULONG onoff;
    ULONG keepalivetime;
    ULONG keepaliveinterval;
};
#define SIO_KEEPALIVE_VALS 0x98000004u

typedef struct _WSAOVERLAPPED* LPWSAOVERLAPPED;
typedef void(CALLBACK* LPWSAOVERLAPPED_COMPLETION_ROUTINE)(DWORD error, DWORD transferred,
                                                           LPWSAOVERLAPPED overlapped,
                                                           DWORD flags);

#define SD_RECEIVE 0
#define SD_SEND 1
#define SD_BOTH 2

#define MAKEWORD(low, high) ((WORD)(((BYTE)(low)) | ((WORD)((BYTE)(high))) << 8))

#define WSABASEERR 10000
#define WSAEINTR 10004
#define WSAEBADF 10009
#define WSAEACCES 10013
#define WSAEFAULT 10014
#define WSAEINVAL 10022
#define WSAEMFILE 10024
#define WSAEWOULDBLOCK 10035
#define WSAENOTSOCK 10038
#define WSAENOPROTOOPT 10042
#define WSAEAFNOSUPPORT 10047
#define WSAEADDRINUSE 10048
#define WSAEADDRNOTAVAIL 10049
#define WSAENETDOWN 10050
#define WSAECONNABORTED 10053
#define WSAECONNRESET 10054
#define WSAENOBUFS 10055
#define WSAENOTCONN 10057
#define WSAESHUTDOWN 10058
#define WSAETIMEDOUT 10060
#define WSAECONNREFUSED 10061
#define WSASYSNOTREADY 10091
#define WSAVERNOTSUPPORTED 10092
#define WSANOTINITIALISED 10093

#define WSADESCRIPTION_LEN 256
#define WSASYS_STATUS_LEN 128

typedef struct WSAData {
    WORD wVersion;
    WORD wHighVersion;
    char szDescription[WSADESCRIPTION_LEN + 1];
    char szSystemStatus[WSASYS_STATUS_LEN + 1];
    unsigned short iMaxSockets;
    unsigned short iMaxUdpDg;
    char* lpVendorInfo;
} WSADATA, *LPWSADATA;

// IPv4 address in network byte order, laid out as Winsock lays it out.
typedef struct in_addr {
    union {
        struct { uint8_t s_b1, s_b2, s_b3, s_b4; } S_un_b;
        struct { uint16_t s_w1, s_w2; } S_un_w;
        uint32_t S_addr;
    } S_un;
} IN_ADDR;
#define s_addr S_un.S_addr

typedef struct sockaddr {
    uint16_t sa_family;
    char sa_data[14];
} SOCKADDR;

typedef struct sockaddr_in {
    int16_t sin_family;
    uint16_t sin_port;
    struct in_addr sin_addr;
    char sin_zero[8];
} SOCKADDR_IN;

static_assert(sizeof(SOCKADDR_IN) == 16, "sockaddr_in is 16 bytes on Winsock");

int WSAStartup(WORD versionRequested, LPWSADATA data);
int WSACleanup(void);
int WSAGetLastError(void);

SOCKET socket(int af, int type, int protocol);
int bind(SOCKET s, const struct sockaddr* name, int nameLength);
int listen(SOCKET s, int backlog);
SOCKET accept(SOCKET s, struct sockaddr* address, int* addressLength);
int connect(SOCKET s, const struct sockaddr* name, int nameLength);
int send(SOCKET s, const char* buffer, int length, int flags);
int recv(SOCKET s, char* buffer, int length, int flags);
int getsockname(SOCKET s, struct sockaddr* name, int* nameLength);
// Only IPPROTO_TCP with TCP_NODELAY or (set only) TCP_MAXRT, each an int
// or DWORD, is known here.
int setsockopt(SOCKET s, int level, int name, const char* value, int valueLength);
int getsockopt(SOCKET s, int level, int name, char* value, int* valueLength);
// Only SIO_KEEPALIVE_VALS, synchronously, is known here.
int WSAIoctl(SOCKET s, DWORD controlCode, LPVOID inBuffer, DWORD inLength, LPVOID outBuffer,
             DWORD outLength, LPDWORD bytesReturned, LPWSAOVERLAPPED overlapped,
             LPWSAOVERLAPPED_COMPLETION_ROUTINE completion);
int shutdown(SOCKET s, int how);
int closesocket(SOCKET s);

uint16_t htons(uint16_t host);
uint32_t htonl(uint32_t host);
uint16_t ntohs(uint16_t net);
uint32_t ntohl(uint32_t net);
// Dotted decimal form in a buffer of the calling thread, as Winsock does it.
char* inet_ntoa(struct in_addr address);

// ---- SetupAPI ------------------------------------------------------------

typedef void* HDEVINFO;

#define DIGCF_DEFAULT 0x00000001
#define DIGCF_PRESENT 0x00000002
#define DIGCF_ALLCLASSES 0x00000004
#define DIGCF_PROFILE 0x00000008
#define DIGCF_DEVICEINTERFACE 0x00000010

#define SPINT_ACTIVE 0x00000001

typedef struct _SP_DEVINFO_DATA {
    DWORD cbSize;
    GUID ClassGuid;
    DWORD DevInst;
    ULONG_PTR Reserved;
} SP_DEVINFO_DATA, *PSP_DEVINFO_DATA;

typedef struct _SP_DEVICE_INTERFACE_DATA {
    DWORD cbSize;
    GUID InterfaceClassGuid;
    DWORD Flags;
    ULONG_PTR Reserved;
} SP_DEVICE_INTERFACE_DATA, *PSP_DEVICE_INTERFACE_DATA;

// The fixed head is cbSize and the first path character; like the SDK's
// 64-bit layout the record is padded to 8 bytes, so cbSize must be 8 here.
typedef struct _SP_DEVICE_INTERFACE_DETAIL_DATA_A {
    DWORD cbSize;
    CHAR DevicePath[4];
} SP_DEVICE_INTERFACE_DETAIL_DATA_A, *PSP_DEVICE_INTERFACE_DETAIL_DATA_A;

HDEVINFO SetupDiGetClassDevsA(const GUID* classGuid, PCSTR enumerator, HWND parent,
                              DWORD flags);
BOOL SetupDiEnumDeviceInterfaces(HDEVINFO deviceInfoSet, PSP_DEVINFO_DATA deviceInfoData,
                                 const GUID* interfaceClassGuid, DWORD memberIndex,
                                 PSP_DEVICE_INTERFACE_DATA deviceInterfaceData);
BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO deviceInfoSet,
                                      PSP_DEVICE_INTERFACE_DATA deviceInterfaceData,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail,
                                      DWORD detailSize, PDWORD requiredSize,
                                      PSP_DEVINFO_DATA deviceInfoData);
BOOL SetupDiDestroyDeviceInfoList(HDEVINFO deviceInfoSet);

// ---- HID ------------------------------------------------------------------

typedef USHORT USAGE;

typedef struct _HIDD_ATTRIBUTES {
    ULONG Size;
    USHORT VendorID;
    USHORT ProductID;
    USHORT VersionNumber;
} HIDD_ATTRIBUTES, *PHIDD_ATTRIBUTES;

static_assert(sizeof(HIDD_ATTRIBUTES) == 12, "HIDD_ATTRIBUTES is 12 bytes on Windows");

typedef struct _HIDP_PREPARSED_DATA* PHIDP_PREPARSED_DATA;

typedef enum _HIDP_REPORT_TYPE { HidP_Input, HidP_Output, HidP_Feature } HIDP_REPORT_TYPE;

typedef struct _HIDP_CAPS {
    USAGE Usage;
    USAGE UsagePage;
    USHORT InputReportByteLength;
    USHORT OutputReportByteLength;
    USHORT FeatureReportByteLength;
    USHORT Reserved[17];
    USHORT NumberLinkCollectionNodes;
    USHORT NumberInputButtonCaps;
    USHORT NumberInputValueCaps;
    USHORT NumberInputDataIndices;
    USHORT NumberOutputButtonCaps;
    USHORT NumberOutputValueCaps;
    USHORT NumberOutputDataIndices;
    USHORT NumberFeatureButtonCaps;
    USHORT NumberFeatureValueCaps;
    USHORT NumberFeatureDataIndices;
} HIDP_CAPS, *PHIDP_CAPS;

#define HIDP_STATUS_SUCCESS ((NTSTATUS)0x00110000)
#define HIDP_STATUS_NULL ((NTSTATUS)0x80110001)
#define HIDP_STATUS_INVALID_PREPARSED_DATA ((NTSTATUS)0xC0110001)
#define HIDP_STATUS_INVALID_REPORT_TYPE ((NTSTATUS)0xC0110002)
#define HIDP_STATUS_INVALID_REPORT_LENGTH ((NTSTATUS)0xC0110003)
#define HIDP_STATUS_USAGE_NOT_FOUND ((NTSTATUS)0xC0110004)
#define HIDP_STATUS_VALUE_OUT_OF_RANGE ((NTSTATUS)0xC0110005)
#define HIDP_STATUS_BAD_LOG_PHY_VALUES ((NTSTATUS)0xC0110006)
#define HIDP_STATUS_BUFFER_TOO_SMALL ((NTSTATUS)0xC0110007)
#define HIDP_STATUS_INTERNAL_ERROR ((NTSTATUS)0xC0110008)
#define HIDP_STATUS_I8042_TRANS_UNKNOWN ((NTSTATUS)0xC0110009)
#define HIDP_STATUS_INCOMPATIBLE_REPORT_ID ((NTSTATUS)0xC011000A)
#define HIDP_STATUS_NOT_VALUE_ARRAY ((NTSTATUS)0xC011000B)
#define HIDP_STATUS_IS_VALUE_ARRAY ((NTSTATUS)0xC011000C)
#define HIDP_STATUS_DATA_INDEX_NOT_FOUND ((NTSTATUS)0xC011000D)
#define HIDP_STATUS_DATA_INDEX_OUT_OF_RANGE ((NTSTATUS)0xC011000E)
#define HIDP_STATUS_BUTTON_NOT_PRESSED ((NTSTATUS)0xC011000F)
#define HIDP_STATUS_REPORT_DOES_NOT_EXIST ((NTSTATUS)0xC0110010)
#define HIDP_STATUS_NOT_IMPLEMENTED ((NTSTATUS)0xC0110020)

void HidD_GetHidGuid(LPGUID hidGuid);
BOOLEAN HidD_GetAttributes(HANDLE device, PHIDD_ATTRIBUTES attributes);
BOOLEAN HidD_GetPreparsedData(HANDLE device, PHIDP_PREPARSED_DATA* preparsedData);
BOOLEAN HidD_FreePreparsedData(PHIDP_PREPARSED_DATA preparsedData);
NTSTATUS HidP_GetCaps(PHIDP_PREPARSED_DATA preparsedData, PHIDP_CAPS capabilities);
NTSTATUS HidP_GetUsageValue(HIDP_REPORT_TYPE reportType, USAGE usagePage,
                            USHORT linkCollection, USAGE usage, PULONG usageValue,
                            PHIDP_PREPARSED_DATA preparsedData, PCHAR report,
                            ULONG reportLength);
