#include "platform/posix/uevent.h"

#include <cstdlib>
#include <cstring>

#include "platform/posix/sys.h"

namespace {

// sysfs serves an attribute from one page.
constexpr size_t kUeventCapacity = 4096;

}  // namespace

bool ReadUeventValue(const char* path, const char* key, char* value, size_t capacity) {
    char* uevent = static_cast<char*>(malloc(kUeventCapacity + 1));
    if (!uevent) return false;
    const long n = SysReadSmallFile(path, uevent, kUeventCapacity);
    bool found = false;
    if (n >= 0) {
        uevent[n] = '\0';
        const size_t keyLength = strlen(key);
        for (const char* line = uevent; *line;) {
            const char* end = strchr(line, '\n');
            if (!end) end = line + strlen(line);
            if (static_cast<size_t>(end - line) > keyLength && strncmp(line, key, keyLength) == 0 &&
                line[keyLength] == '=') {
                const char* start = line + keyLength + 1;
                const size_t length = static_cast<size_t>(end - start);
                if (length < capacity) {
                    memcpy(value, start, length);
                    value[length] = '\0';
                    found = true;
                }
                break;
            }
            line = *end ? end + 1 : end;
        }
    }
    free(uevent);
    return found;
}
