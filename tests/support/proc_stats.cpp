#include "support/proc_stats.h"

#include <dirent.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

long CpuTicks(pid_t pid) {
    const std::string path = "/proc/" + std::to_string(pid) + "/stat";
    FILE* f = fopen(path.c_str(), "r");
    if (!f) return -1;
    char line[1024];
    const bool got = fgets(line, sizeof line, f) != nullptr;
    fclose(f);
    const char* end = got ? strrchr(line, ')') : nullptr;
    long utime = 0, stime = 0;
    // After "pid (comm)": state and ten more fields, then utime and stime.
    if (!end || sscanf(end + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %ld %ld", &utime,
                       &stime) != 2) {
        return -1;
    }
    return utime + stime;
}

int OpenDescriptorCount(pid_t pid) {
    const std::string path = "/proc/" + std::to_string(pid) + "/fd";
    DIR* dir = opendir(path.c_str());
    if (!dir) return -1;
    int count = 0;
    while (dirent* entry = readdir(dir)) count += entry->d_name[0] != '.';
    closedir(dir);
    return count;
}

long HeldKilobytes(pid_t pid) {
    const std::string path = "/proc/" + std::to_string(pid) + "/smaps_rollup";
    FILE* f = fopen(path.c_str(), "r");
    if (!f) return -1;
    char line[256];
    long anonymous = -1;
    long huge = -1;
    while (fgets(line, sizeof line, f)) {
        long kilobytes;
        if (sscanf(line, "Anonymous: %ld kB", &kilobytes) == 1) anonymous = kilobytes;
        if (sscanf(line, "AnonHugePages: %ld kB", &kilobytes) == 1) huge = kilobytes;
    }
    fclose(f);
    return anonymous < 0 || huge < 0 ? -1 : anonymous - huge;
}

namespace {

// Counts the IPv4 TCP sockets on local port whose state is or is not
// LISTEN (0A in /proc/net/tcp); -1 if the table cannot be read.
int CountSockets(unsigned short port, bool listening) {
    FILE* f = fopen("/proc/net/tcp", "r");
    if (!f) return -1;
    char line[512];
    char wanted[16];
    snprintf(wanted, sizeof wanted, ":%04X", port);
    int count = 0;
    while (fgets(line, sizeof line, f)) {
        // "  0: 00000000:138B 00000000:0000 0A ...": local address, remote
        // address, state.
        char local[64], remote[64], state[8];
        if (sscanf(line, " %*[^:]: %63s %63s %7s", local, remote, state) != 3) continue;
        const char* colon = strchr(local, ':');
        if (!colon || strcmp(colon, wanted) != 0) continue;
        count += (strcmp(state, "0A") == 0) == listening;
    }
    fclose(f);
    return count;
}

}  // namespace

bool PortListening(unsigned short port) { return CountSockets(port, true) > 0; }

int PortConnections(unsigned short port) { return CountSockets(port, false); }
