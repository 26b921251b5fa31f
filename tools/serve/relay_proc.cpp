#include "tools/serve/relay_proc.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/posix/uevent.h"

namespace {

// The TCP states as /proc/net/tcp numbers them (include/net/tcp_states.h).
constexpr int kTcpEstablished = 0x01;
constexpr int kTcpCloseWait = 0x08;

bool Connected(unsigned state) { return state == kTcpEstablished || state == kTcpCloseWait; }

ClientLink LinkOf(int state) {
    if (state == kTcpEstablished) return ClientLink::kEstablished;
    return state == kTcpCloseWait ? ClientLink::kHalfClosed : ClientLink::kGone;
}

template <typename Visit>
bool ForEachFd(pid_t pid, Visit visit) {
    char dirPath[64];
    snprintf(dirPath, sizeof dirPath, "/proc/%d/fd", static_cast<int>(pid));
    DIR* dir = opendir(dirPath);
    if (!dir) return false;
    // A process that is not dumpable (its program unreadable to us, say)
    // lists its descriptors but refuses their targets: as unreadable as
    // a directory that does not open.
    bool denied = false;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        char linkPath[320], target[512];
        snprintf(linkPath, sizeof linkPath, "%s/%s", dirPath, entry->d_name);
        ssize_t n = readlink(linkPath, target, sizeof target - 1);
        if (n < 0 && (errno == EACCES || errno == EPERM)) denied = true;
        if (n <= 0) continue;
        target[n] = '\0';
        visit(linkPath, target);
    }
    closedir(dir);
    return !denied;
}

// Finds, in one table, the relay's connection: among its sockets (by
// inode), or with inodes empty, the accepted one on its local port (a
// connection still in the listener's queue has no inode yet). Takes the
// first one there is.
void FindInTable(const char* path, int family, const std::vector<unsigned long>& inodes,
                 unsigned short relayPort, ClientSocket* client) {
    FILE* table = fopen(path, "re");
    if (!table) return;
    char line[512];
    bool heading = true;
    while (!client->found && fgets(line, sizeof line, table)) {
        if (heading) {
            heading = false;
            continue;
        }
        // sl local rem st tx:rx tr:when retrnsmt uid timeout inode ...; an
        // address is its 32-bit words in hex as stored, a port in host order.
        char local[40], remote[40];
        unsigned localPort = 0, remotePort = 0, state = 0;
        unsigned long inode = 0;
        if (sscanf(line, "%*s %39[0-9A-Fa-f]:%x %39[0-9A-Fa-f]:%x %x %*s %*s %*s %*u %*u %lu",
                   local, &localPort, remote, &remotePort, &state, &inode) != 6 ||
            !Connected(state) || inode == 0) {
            continue;
        }
        bool ours = inodes.empty() && localPort == relayPort;
        for (unsigned long wanted : inodes) ours = ours || wanted == inode;
        if (!ours) continue;
        client->state = static_cast<int>(state);
        const int words = family == AF_INET ? 1 : 4;
        for (int i = 0; i < words; ++i) {
            sscanf(local + 8 * i, "%8x", &client->localAddress[i]);
            sscanf(remote + 8 * i, "%8x", &client->remoteAddress[i]);
        }
        client->family = family;
        client->inode = inode;
        client->localPort = static_cast<unsigned short>(localPort);
        client->remotePort = static_cast<unsigned short>(remotePort);
        client->found = true;
    }
    fclose(table);
}

// Asks the kernel for the one connection with the client's address pair.
// Returns its state, 0 when there is none, or -1 when the question cannot
// be asked here (no sock_diag), and the table must be read after all.
int LookUpState(const ClientSocket& client) {
    int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd < 0) return -1;
    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } message{};
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = NLM_F_REQUEST;
    message.request.sdiag_family = static_cast<uint8_t>(client.family);
    message.request.sdiag_protocol = IPPROTO_TCP;
    message.request.idiag_states = ~0u;
    message.request.id.idiag_sport = htons(client.localPort);
    message.request.id.idiag_dport = htons(client.remotePort);
    memcpy(message.request.id.idiag_src, client.localAddress, sizeof client.localAddress);
    memcpy(message.request.id.idiag_dst, client.remoteAddress, sizeof client.remoteAddress);
    message.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    message.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    int state = -1;
    alignas(nlmsghdr) char answer[1024];
    if (sendto(fd, &message, sizeof message, 0, reinterpret_cast<sockaddr*>(&kernel),
               sizeof kernel) == static_cast<ssize_t>(sizeof message)) {
        ssize_t n = recv(fd, answer, sizeof answer, 0);
        const nlmsghdr* reply = reinterpret_cast<const nlmsghdr*>(answer);
        if (n >= static_cast<ssize_t>(sizeof *reply) && NLMSG_OK(reply, static_cast<unsigned>(n))) {
            if (reply->nlmsg_type == SOCK_DIAG_BY_FAMILY &&
                reply->nlmsg_len >= NLMSG_LENGTH(sizeof(inet_diag_msg))) {
                const inet_diag_msg* found = static_cast<const inet_diag_msg*>(NLMSG_DATA(reply));
                // Gone and replaced, the pair may lead to another socket,
                // such as the relay's listener: only the same one counts.
                state = found->idiag_inode == client.inode ? found->idiag_state : 0;
            } else if (reply->nlmsg_type == NLMSG_ERROR &&
                       reply->nlmsg_len >= NLMSG_LENGTH(sizeof(nlmsgerr))) {
                const nlmsgerr* error = static_cast<const nlmsgerr*>(NLMSG_DATA(reply));
                if (error->error == -ENOENT) state = 0;
            }
        }
    }
    close(fd);
    return state;
}

}  // namespace

ClientLink RelayClientLink(pid_t relay, unsigned short relayPort, ClientSocket* client) {
    if (client->found && client->lookUpWorks) {
        const int state = LookUpState(*client);
        if (state >= 0) return LinkOf(state);
    }
    std::vector<unsigned long> inodes;
    const bool read = ForEachFd(relay, [&](const char*, const char* target) {
        unsigned long inode = 0;
        if (sscanf(target, "socket:[%lu]", &inode) == 1) inodes.push_back(inode);
    });
    // An unreadable directory of a relay that is still there: not dumpable.
    char path[64];
    snprintf(path, sizeof path, "/proc/%d", static_cast<int>(relay));
    if (!read && access(path, F_OK) != 0) return ClientLink::kUnknown;
    // A reset or timed-out socket leaves the table altogether; one the peer
    // closed stays in CLOSE_WAIT until the relay closes it.
    *client = ClientSocket();
    client->byPort = !read;
    if (read && inodes.empty()) return ClientLink::kGone;
    snprintf(path, sizeof path, "/proc/%d/net/tcp", static_cast<int>(relay));
    FindInTable(path, AF_INET, inodes, relayPort, client);
    snprintf(path, sizeof path, "/proc/%d/net/tcp6", static_cast<int>(relay));
    if (!client->found) FindInTable(path, AF_INET6, inodes, relayPort, client);
    if (!client->found) return ClientLink::kGone;
    const int state = LookUpState(*client);
    client->lookUpWorks = state == client->state;
    return LinkOf(client->state);
}

namespace {

bool SameNode(const struct stat& a, const struct stat& b) {
    return a.st_ino == b.st_ino && a.st_dev == b.st_dev && a.st_rdev == b.st_rdev;
}

NodeId IdOf(const struct stat& node) {
    return {static_cast<unsigned long long>(node.st_dev),
            static_cast<unsigned long long>(node.st_ino),
            static_cast<unsigned long long>(node.st_rdev)};
}

// Calls visit(path) for the /dev node of every hidraw device whose HID_ID
// is the box's (bus:vendor:product, any bus), as the relay's search finds them.
template <typename Visit>
void ForEachBoxNode(unsigned short vendor, unsigned short product, Visit visit) {
    DIR* dir = opendir("/sys/class/hidraw");
    if (!dir) return;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        char uevent[320], value[128];
        snprintf(uevent, sizeof uevent, "/sys/class/hidraw/%s/device/uevent", entry->d_name);
        unsigned bus = 0, foundVendor = 0, foundProduct = 0;
        if (!ReadUeventValue(uevent, "HID_ID", value, sizeof value) ||
            sscanf(value, "%x:%x:%x", &bus, &foundVendor, &foundProduct) != 3 ||
            foundVendor != vendor || foundProduct != product) {
            continue;
        }
        snprintf(uevent, sizeof uevent, "/sys/class/hidraw/%s/uevent", entry->d_name);
        char node[200];
        if (!ReadUeventValue(uevent, "DEVNAME", value, sizeof value)) continue;
        snprintf(node, sizeof node, "/dev/%s", value);
        visit(node);
    }
    closedir(dir);
}

constexpr unsigned short kBoxVendor = 0x046D;
constexpr unsigned short kBoxProduct = 0xC630;

// Without the relay's descriptors: the box's nodes when the watch began,
// every one still at its path, and no more of them than then.
bool BoxNodesChanged(BoxWatch* watch) {
    NodeId now[8];
    int count = 0;
    ForEachBoxNode(kBoxVendor, kBoxProduct, [&](const char* node) {
        struct stat at;
        if (count < 8 && stat(node, &at) == 0) now[count++] = IdOf(at);
    });
    if (!watch->started) {
        watch->started = true;
        watch->nodeCount = count;
        for (int i = 0; i < count; ++i) watch->nodes[i] = now[i];
        return false;
    }
    for (int i = 0; i < watch->nodeCount; ++i) {
        bool still = false;
        for (int j = 0; j < count; ++j) {
            still = still || (now[j].device == watch->nodes[i].device &&
                              now[j].inode == watch->nodes[i].inode &&
                              now[j].rdev == watch->nodes[i].rdev);
        }
        if (!still) return true;
    }
    return false;
}

}  // namespace

int BoxNodeRefused(unsigned short vendor, unsigned short product, char* path, size_t capacity) {
    int refused = 0;
    ForEachBoxNode(vendor, product, [&](const char* node) {
        if (refused != 0) return;
        // Non-blocking: a FIFO in a test's tree stands in for the node.
        int fd = open(node, O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd >= 0) {
            close(fd);
        } else if (errno == EPERM || errno == EACCES) {
            refused = errno;
            snprintf(path, capacity, "%s", node);
        }
    });
    return refused;
}

bool RelayBoxGone(pid_t relay, BoxWatch* watch) {
    if (watch->fallback) return BoxNodesChanged(watch);
    bool gone = false;
    const bool read = ForEachFd(relay, [&](const char* linkPath, const char* target) {
        const char* name = strrchr(target, '/');
        if (!name || strncmp(name + 1, "hidraw", 6) != 0) return;
        const char* deleted = strstr(target, " (deleted)");
        if (deleted && deleted[sizeof " (deleted)" - 1] == '\0') {
            gone = true;
            return;
        }
        // The node at the path must still be the one the relay has open:
        // a box plugged in again gets a new node, even under the old name.
        struct stat atPath, held;
        if (stat(target, &atPath) != 0 || stat(linkPath, &held) != 0 || !SameNode(atPath, held)) {
            gone = true;
        }
    });
    char path[64];
    snprintf(path, sizeof path, "/proc/%d", static_cast<int>(relay));
    if (!read && access(path, F_OK) == 0) {
        watch->fallback = true;
        return BoxNodesChanged(watch);
    }
    return gone;
}
