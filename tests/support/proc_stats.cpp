#include "support/proc_stats.h"

#include <dirent.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int OpenDescriptorCount(pid_t pid) {
    const std::string path = "/proc/" + std::to_string(pid) + "/fd";
    DIR* dir = opendir(path.c_str());
    if (!dir) return -1;
    int count = 0;
    while (dirent* entry = readdir(dir)) count += entry->d_name[0] != '.';
    closedir(dir);
    return count;
}

long ResidentKilobytes(pid_t pid) {
    const std::string path = "/proc/" + std::to_string(pid) + "/status";
    FILE* f = fopen(path.c_str(), "r");
    if (!f) return -1;
    char line[256];
    long kilobytes = -1;
    while (fgets(line, sizeof line, f)) {
        if (strncmp(line, "VmRSS:", 6) == 0) {
            kilobytes = strtol(line + 6, nullptr, 10);
            break;
        }
    }
    fclose(f);
    return kilobytes;
}

bool PortListening(unsigned short port) {
    FILE* f = fopen("/proc/net/tcp", "r");
    if (!f) return false;
    char line[512];
    char wanted[16];
    snprintf(wanted, sizeof wanted, ":%04X", port);
    bool listening = false;
    while (!listening && fgets(line, sizeof line, f)) {
        // "  0: 00000000:138B 00000000:0000 0A ...": local address, remote
        // address, state (0A is LISTEN).
        char local[64], remote[64], state[8];
        if (sscanf(line, " %*[^:]: %63s %63s %7s", local, remote, state) != 3) continue;
        const char* colon = strchr(local, ':');
        listening = colon && strcmp(colon, wanted) == 0 && strcmp(state, "0A") == 0;
    }
    fclose(f);
    return listening;
}
