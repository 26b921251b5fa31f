// Fake hidraw devices for tests: a sysfs class tree laid out as the kernel
// lays out /sys/class/hidraw, and FIFOs standing in for the /dev nodes.
// Plain C++ types only, so that tests which include the Win32 names can
// use it too.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

typedef std::vector<uint8_t> Bytes;

enum class FakeNode {
    kFifo,       // opens for reading and writing; reports are written into it
    kMissing,    // the sysfs entry is there, the node is not
    kDirectory,  // a node that exists but cannot be opened for writing
};

class FakeHidTree {
public:
    // Makes an empty tree in a new temporary directory under base:
    // <root>/class/hidraw and <root>/dev.
    explicit FakeHidTree(const char* base = "/tmp");
    ~FakeHidTree();
    FakeHidTree(const FakeHidTree&) = delete;
    FakeHidTree& operator=(const FakeHidTree&) = delete;

    bool ok() const { return ok_; }
    std::string ClassDir() const { return root_ + "/class"; }  // stands in for /sys/class
    std::string HidrawDir() const { return root_ + "/class/hidraw"; }
    std::string DevDir() const { return root_ + "/dev"; }
    std::string NodePath(const std::string& name) const { return DevDir() + "/" + name; }

    // Adds hidraw<number> with the given identity and descriptor. hidId
    // overrides the HID_ID line's value ("0003:0000046D:0000C630").
    bool AddDevice(int number, uint16_t vendor, uint16_t product, const Bytes& descriptor,
                   FakeNode node = FakeNode::kFifo, const std::string& hidId = "");

    // Replaces the descriptor of hidraw<number>, as a device that is
    // unplugged and plugged in again with another would have it.
    bool SetDescriptor(int number, const Bytes& descriptor);

private:
    std::string root_;
    bool ok_ = false;
};

// Writes bytes into a FIFO node in one write (a reader must have it open).
bool WriteReport(const std::string& nodePath, const Bytes& report);
// Reads whatever is waiting in a FIFO node without blocking.
Bytes DrainNode(const std::string& nodePath);

// The paths this process has open, from /proc/self/fd.
std::vector<std::string> OpenPaths();

// Watches one path for being opened by anyone (inotify IN_OPEN).
class OpenWatch {
public:
    explicit OpenWatch(const std::string& path);
    ~OpenWatch();
    OpenWatch(const OpenWatch&) = delete;
    OpenWatch& operator=(const OpenWatch&) = delete;
    bool ok() const { return fd_ >= 0 && watch_ >= 0; }
    bool SawOpen();  // since the watch began

private:
    int fd_ = -1;
    int watch_ = -1;
};
