#include "support/fake_hidraw.h"

#include <fcntl.h>
#include <ftw.h>
#include <limits.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>
#include <dirent.h>

#include <cstdio>
#include <cstdlib>

namespace {

bool WriteFile(const std::string& path, const void* data, size_t length) {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = fwrite(data, 1, length, f) == length;
    return fclose(f) == 0 && ok;
}

bool WriteText(const std::string& path, const std::string& text) {
    return WriteFile(path, text.data(), text.size());
}

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
    remove(path);
    return 0;
}

}  // namespace

FakeHidTree::FakeHidTree(const char* base) {
    std::string pattern = std::string(base) + "/dorqin-hid-XXXXXX";
    if (!mkdtemp(&pattern[0])) return;
    root_ = pattern;
    ok_ = mkdir(ClassDir().c_str(), 0755) == 0 && mkdir(HidrawDir().c_str(), 0755) == 0 &&
          mkdir(DevDir().c_str(), 0755) == 0;
}

FakeHidTree::~FakeHidTree() {
    if (!root_.empty()) nftw(root_.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

bool FakeHidTree::SetDescriptor(int number, const Bytes& descriptor) {
    return WriteFile(HidrawDir() + "/hidraw" + std::to_string(number) + "/device/report_descriptor",
                     descriptor.data(), descriptor.size());
}

bool FakeHidTree::AddDevice(int number, uint16_t vendor, uint16_t product,
                            const Bytes& descriptor, FakeNode node, const std::string& hidId) {
    const std::string name = "hidraw" + std::to_string(number);
    const std::string entry = HidrawDir() + "/" + name;
    char id[64];
    snprintf(id, sizeof id, "0003:%08X:%08X", vendor, product);
    const std::string device = entry + "/device";
    bool ok = mkdir(entry.c_str(), 0755) == 0 && mkdir(device.c_str(), 0755) == 0;
    ok = ok && WriteText(entry + "/uevent", "MAJOR=241\nMINOR=" + std::to_string(number) +
                                                "\nDEVNAME=" + name + "\n");
    ok = ok && WriteText(device + "/uevent",
                         "DRIVER=hid-generic\nHID_ID=" + (hidId.empty() ? id : hidId) +
                             "\nHID_NAME=Fake HID " + name + "\nHID_PHYS=\nHID_UNIQ=\n");
    ok = ok && WriteFile(device + "/report_descriptor", descriptor.data(), descriptor.size());
    const std::string path = NodePath(name);
    switch (node) {
    case FakeNode::kFifo: ok = ok && mkfifo(path.c_str(), 0600) == 0; break;
    case FakeNode::kDirectory: ok = ok && mkdir(path.c_str(), 0755) == 0; break;
    case FakeNode::kMissing: break;
    }
    return ok;
}

bool WriteReport(const std::string& nodePath, const Bytes& report) {
    int fd = open(nodePath.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = write(fd, report.data(), report.size()) == static_cast<ssize_t>(report.size());
    close(fd);
    return ok;
}

Bytes DrainNode(const std::string& nodePath) {
    Bytes out;
    int fd = open(nodePath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return out;
    uint8_t buffer[256];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0) out.insert(out.end(), buffer, buffer + n);
    close(fd);
    return out;
}

std::vector<std::string> OpenPaths() {
    std::vector<std::string> paths;
    DIR* dir = opendir("/proc/self/fd");
    if (!dir) return paths;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        char target[PATH_MAX];
        std::string link = std::string("/proc/self/fd/") + entry->d_name;
        ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        if (n > 0) paths.emplace_back(target, static_cast<size_t>(n));
    }
    closedir(dir);
    return paths;
}

OpenWatch::OpenWatch(const std::string& path) {
    fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ >= 0) watch_ = inotify_add_watch(fd_, path.c_str(), IN_OPEN);
}

OpenWatch::~OpenWatch() {
    if (fd_ >= 0) close(fd_);
}

bool OpenWatch::SawOpen() {
    alignas(inotify_event) char buffer[4096];
    bool opened = false;
    ssize_t n;
    while ((n = read(fd_, buffer, sizeof buffer)) > 0) {
        for (char* p = buffer; p < buffer + n;) {
            const inotify_event* event = reinterpret_cast<const inotify_event*>(p);
            if (event->mask & IN_OPEN) opened = true;
            p += sizeof(inotify_event) + event->len;
        }
    }
    return opened;
}
