#include "support/isolation.h"

#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
bool isolated = false;
}

bool NetworkIsolated() { return isolated; }

bool IsolateNetwork() {
    const char* off = getenv("DORQIN_NO_NETNS");
    if (off && *off) return false;
    if (unshare(CLONE_NEWNET) != 0) return false;
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    ifreq request{};
    strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool up = ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags |= IFF_UP;
    up = up && ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    close(fd);
    isolated = up;
    return up;
}

bool PrerequisitesRequired() {
    const char* required = getenv("DORQIN_REQUIRE_PREREQUISITES");
    return required && *required && strcmp(required, "0") != 0;
}

void ListSkipped(const char* test, const char* what) {
    const char* list = getenv("DORQIN_SKIPPED_LIST");
    if (!list || !*list) return;
    FILE* file = fopen(list, "a");
    if (!file) return;
    fprintf(file, "%s: %s\n", test, what);
    fclose(file);
}

int MissingPrerequisite(const char* test, const char* what) {
    if (PrerequisitesRequired()) {
        fprintf(stderr, "prerequisite missing, and DORQIN_REQUIRE_PREREQUISITES is set: %s\n", what);
        return 1;
    }
    fprintf(stderr, "prerequisite missing: %s\n", what);
    ListSkipped(test, what);
    return 77;
}
