// Directory listing, small sysfs files and the hidraw ioctls behind the
// SetupAPI and HID stand-ins. Sees POSIX and Linux headers, never win32.h.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/hidraw.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "platform/posix/sys.h"

int SysListDirectory(const char* path, SysDirectoryVisitor visit, void* context, uint32_t* error) {
    DIR* dir = opendir(path);
    if (!dir) {
        *error = SysWin32Error(errno);
        return -1;
    }
    int result = 0;
    for (;;) {
        // readdir's null is the end only where errno stays 0: a failed read
        // (EOVERFLOW where 32-bit offsets meet 64-bit directory positions,
        // EIO) is not the end of the listing.
        errno = 0;
        dirent* entry = readdir(dir);
        if (!entry) {
            if (errno != 0) {
                *error = SysWin32Error(errno);
                result = -2;
            }
            break;
        }
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
        if (!visit(entry->d_name, context)) break;
    }
    closedir(dir);
    return result;
}

long SysReadSmallFile(const char* path, void* buffer, size_t capacity) {
    int fd;
    do {
        fd = open(path, O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return -1;
    char* out = static_cast<char*>(buffer);
    size_t done = 0;
    long result = -1;
    for (;;) {
        // Ask for one byte more than fits, so that a file that is too
        // large is told apart from one that fills the buffer exactly.
        char spare;
        const bool full = done == capacity;
        ssize_t n = full ? read(fd, &spare, 1) : read(fd, out + done, capacity - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;
        if (n == 0) {
            result = static_cast<long>(done);
            break;
        }
        if (full) break;  // more than capacity
        done += static_cast<size_t>(n);
    }
    close(fd);
    return result;
}

namespace {

// Only a character device may get hidraw ioctls: on a FIFO or a file they
// would fail anyway, and another driver's ioctl numbers could mean
// something else.
bool IsCharacterDevice(int fd) {
    struct stat st;
    return fstat(fd, &st) == 0 && S_ISCHR(st.st_mode);
}

}  // namespace

int SysHidrawInfo(int fd, uint32_t* bus, uint16_t* vendor, uint16_t* product) {
    if (!IsCharacterDevice(fd)) return -1;
    hidraw_devinfo info{};
    if (ioctl(fd, HIDIOCGRAWINFO, &info) < 0) return -1;
    *bus = info.bustype;
    *vendor = static_cast<uint16_t>(info.vendor);
    *product = static_cast<uint16_t>(info.product);
    return 0;
}

long SysHidrawDescriptor(int fd, void* buffer, size_t capacity) {
    if (!IsCharacterDevice(fd)) return -1;
    int size = 0;
    if (ioctl(fd, HIDIOCGRDESCSIZE, &size) < 0) return -1;
    if (size < 0 || static_cast<size_t>(size) > capacity || size > HID_MAX_DESCRIPTOR_SIZE) return -1;
    hidraw_report_descriptor descriptor{};
    descriptor.size = static_cast<uint32_t>(size);
    if (ioctl(fd, HIDIOCGRDESC, &descriptor) < 0) return -1;
    memcpy(buffer, descriptor.value, static_cast<size_t>(size));
    return size;
}
