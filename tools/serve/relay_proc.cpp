#include "tools/serve/relay_proc.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// The TCP state as /proc/net/tcp numbers them (include/net/tcp_states.h).
constexpr int kTcpEstablished = 0x01;

template <typename Visit>
bool ForEachFd(pid_t pid, Visit visit) {
    char dirPath[64];
    snprintf(dirPath, sizeof dirPath, "/proc/%d/fd", static_cast<int>(pid));
    DIR* dir = opendir(dirPath);
    if (!dir) return false;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        char linkPath[320], target[512];
        snprintf(linkPath, sizeof linkPath, "%s/%s", dirPath, entry->d_name);
        ssize_t n = readlink(linkPath, target, sizeof target - 1);
        if (n <= 0) continue;
        target[n] = '\0';
        visit(linkPath, target);
    }
    closedir(dir);
    return true;
}

// Adds to states the TCP state of every socket in one table whose inode is
// in inodes (the table of the relay's own network namespace).
void ReadTcpTable(const char* path, const std::vector<unsigned long>& inodes,
                  std::vector<int>* states) {
    FILE* table = fopen(path, "re");
    if (!table) return;
    char line[512];
    if (!fgets(line, sizeof line, table)) {  // the heading
        fclose(table);
        return;
    }
    while (fgets(line, sizeof line, table)) {
        // sl local rem st tx:rx tr:when retrnsmt uid timeout inode ...
        unsigned state = 0;
        unsigned long inode = 0;
        if (sscanf(line, "%*s %*s %*s %x %*s %*s %*s %*u %*u %lu", &state, &inode) != 2) continue;
        for (unsigned long wanted : inodes) {
            if (wanted == inode && inode != 0) states->push_back(static_cast<int>(state));
        }
    }
    fclose(table);
}

}  // namespace

ClientLink RelayClientLink(pid_t relay) {
    std::vector<unsigned long> inodes;
    bool read = ForEachFd(relay, [&](const char*, const char* target) {
        unsigned long inode = 0;
        if (sscanf(target, "socket:[%lu]", &inode) == 1) inodes.push_back(inode);
    });
    if (!read) return ClientLink::kUnknown;
    std::vector<int> states;
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/net/tcp", static_cast<int>(relay));
    ReadTcpTable(path, inodes, &states);
    snprintf(path, sizeof path, "/proc/%d/net/tcp6", static_cast<int>(relay));
    ReadTcpTable(path, inodes, &states);
    // A reset or timed-out socket leaves the table altogether; one the peer
    // closed stays in CLOSE_WAIT until the relay closes it.
    for (int state : states) {
        if (state == kTcpEstablished) return ClientLink::kEstablished;
    }
    return ClientLink::kGone;
}

bool RelayBoxGone(pid_t relay) {
    bool gone = false;
    ForEachFd(relay, [&](const char* linkPath, const char* target) {
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
        if (stat(target, &atPath) != 0 || stat(linkPath, &held) != 0 ||
            atPath.st_ino != held.st_ino || atPath.st_dev != held.st_dev ||
            atPath.st_rdev != held.st_rdev) {
            gone = true;
        }
    });
    return gone;
}
