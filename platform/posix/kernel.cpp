// Kernel32 stand-ins: last error, handles, files, the console and threads.
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/posix/handles.h"
#include "platform/posix/hid_device.h"

namespace {

thread_local DWORD lastError = ERROR_SUCCESS;

// The three standard handles live as long as the process, like Windows'.
HandleObject stdHandles[3] = {
    {kFileHandle, 0, nullptr, nullptr, nullptr},
    {kFileHandle, 1, nullptr, nullptr, nullptr},
    {kFileHandle, 2, nullptr, nullptr, nullptr},
};

bool IsStdHandle(const HandleObject* object) {
    return object >= stdHandles && object < stdHandles + 3;
}

// Before anything else can open a file or a socket: a process started
// with standard descriptors closed gets them on /dev/null, and signals
// blocked or ignored by its starter back. On Windows a socket is never a
// standard handle and neither is inherited, so there the question does
// not arise.
__attribute__((constructor(101))) void TakeInheritedState() {
    SysTakeInheritedState();
}

}  // namespace

HandleObject* HandleFromWin32(HANDLE handle) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return nullptr;
    return static_cast<HandleObject*>(handle);
}

DWORD GetLastError(void) { return lastError; }

void SetLastError(DWORD error) { lastError = error; }

HANDLE GetStdHandle(DWORD stdHandle) {
    switch (stdHandle) {
    case STD_INPUT_HANDLE: return &stdHandles[0];
    case STD_OUTPUT_HANDLE: return &stdHandles[1];
    case STD_ERROR_HANDLE: return &stdHandles[2];
    default:
        SetLastError(ERROR_INVALID_HANDLE);
        return INVALID_HANDLE_VALUE;
    }
}

HANDLE CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode,
                   LPSECURITY_ATTRIBUTES security, DWORD creationDisposition,
                   DWORD flagsAndAttributes, HANDLE templateFile) {
    (void)shareMode;
    (void)security;
    (void)templateFile;
    // Only what the relay asks for: an existing node, read and write,
    // synchronous I/O.
    if (!fileName || creationDisposition != OPEN_EXISTING || flagsAndAttributes != 0 ||
        desiredAccess != (GENERIC_READ | GENERIC_WRITE)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    // One top-level collection of a node with several: the node's own path
    // with "&colNN" after it.
    char node[1024];
    int top = 0;
    if (!HidSplitInterfacePath(fileName, node, sizeof node, &top)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    uint32_t error = 0;
    int fd = SysOpenReadWrite(node, &error);
    if (fd < 0) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    HandleObject* object =
        new (std::nothrow) HandleObject{kFileHandle, fd, nullptr, nullptr, nullptr};
    char* path = object ? strdup(fileName) : nullptr;
    if (!path) {
        delete object;
        SysClose(fd);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    object->path = path;
    // A HID device node reads whole reports the way Windows hands them out.
    object->hid = HidProbeDevice(fd, node, top);
    if (!object->hid && top > 0) {
        // A collection the node does not have (any more): no such interface.
        CloseHandle(object);
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    return object;
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead,
              LPOVERLAPPED overlapped) {
    HandleObject* object = HandleFromWin32(file);
    if (bytesRead) *bytesRead = 0;
    if (!object || object->kind != kFileHandle || overlapped) {
        SetLastError(object ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (object->hid) return HidReadReport(object->hid, object->fd, buffer, bytesToRead, bytesRead);
    uint32_t error = 0;
    long n = SysRead(object->fd, buffer, bytesToRead, &error);
    if (n < 0) {
        SetLastError(error);
        return FALSE;
    }
    if (bytesRead) *bytesRead = static_cast<DWORD>(n);
    return TRUE;
}

BOOL WriteFile(HANDLE file, const void* buffer, DWORD bytesToWrite, LPDWORD bytesWritten,
               LPOVERLAPPED overlapped) {
    HandleObject* object = HandleFromWin32(file);
    if (bytesWritten) *bytesWritten = 0;
    if (!object || object->kind != kFileHandle || overlapped) {
        SetLastError(object ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    uint32_t error = 0;
    long n = SysWriteAll(object->fd, buffer, bytesToWrite, &error);
    if (n < 0) {
        SetLastError(error);
        return FALSE;
    }
    if (bytesWritten) *bytesWritten = static_cast<DWORD>(n);
    return TRUE;
}

BOOL CloseHandle(HANDLE handle) {
    HandleObject* object = HandleFromWin32(handle);
    if (!object || IsStdHandle(object)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return object ? TRUE : FALSE;
    }
    if (object->kind == kFileHandle) {
        SysClose(object->fd);
        free(object->path);
        HidReleaseDevice(object->hid);
    }
    // Like Windows, closing a thread's handle does not stop the thread.
    if (object->kind == kThreadHandle) SysThreadRelease(object->thread);
    delete object;
    return TRUE;
}

HANDLE CreateThread(LPSECURITY_ATTRIBUTES security, SIZE_T stackSize,
                    LPTHREAD_START_ROUTINE startAddress, LPVOID parameter,
                    DWORD creationFlags, LPDWORD threadId) {
    (void)security;
    (void)stackSize;  // the platform default, as the relay asks for
    if (!startAddress || creationFlags != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    HandleObject* object =
        new (std::nothrow) HandleObject{kThreadHandle, -1, nullptr, nullptr, nullptr};
    if (!object) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    object->thread = SysThreadStart(startAddress, parameter);
    if (!object->thread) {
        delete object;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    static DWORD nextThreadId = 1;
    if (threadId) *threadId = __atomic_fetch_add(&nextThreadId, 1, __ATOMIC_RELAXED);
    return object;
}

BOOL TerminateThread(HANDLE thread, DWORD exitCode) {
    (void)exitCode;
    HandleObject* object = HandleFromWin32(thread);
    if (!object || object->kind != kThreadHandle) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    SysThreadStop(object->thread);
    return TRUE;
}

void Sleep(DWORD milliseconds) { SysSleep(milliseconds); }

DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds) {
    HandleObject* handle = HandleFromWin32(object);
    if (!handle || handle->kind != kThreadHandle || milliseconds != INFINITE) {
        SetLastError(handle ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    SysThreadJoin(handle->thread);
    return WAIT_OBJECT_0;
}
