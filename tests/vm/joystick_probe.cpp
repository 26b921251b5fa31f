// dorqin-joystick-probe: reads a virtual joystick back the way programs
// that use it do, for the VM test of dorqin-listen --joystick.
//
//   dorqin-joystick-probe evdev NAME SECONDS
//   dorqin-joystick-probe js NAME SECONDS
//
// Waits up to SECONDS for the input device called NAME to get its event
// node (evdev) or joystick node (js, from joydev), opens it, prints what
// the device declares and its state at that moment, then "ready", then one
// line per event until the device is removed, then "gone". Node numbers
// are left out, so the output can be compared byte for byte. Exit status
// 0 once the device is gone, 1 if it never came or reading failed.
#include <dirent.h>
#include <fcntl.h>
#include <libevdev/libevdev.h>
#include <linux/input.h>
#include <linux/joystick.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::string ReadLine(const std::string& path) {
    FILE* file = fopen(path.c_str(), "r");
    if (!file) return "";
    char line[256] = "";
    if (!fgets(line, sizeof line, file)) line[0] = '\0';
    fclose(file);
    std::string text = line;
    if (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
}

// /dev/input/<prefix>N of the device named name, or "".
std::string FindNode(const char* prefix, const std::string& name) {
    std::string found;
    DIR* dir = opendir("/sys/class/input");
    if (!dir) return found;
    size_t length = strlen(prefix);
    while (dirent* entry = readdir(dir)) {
        if (strncmp(entry->d_name, prefix, length) != 0) continue;
        std::string base = std::string("/sys/class/input/") + entry->d_name;
        if (ReadLine(base + "/device/name") == name) found = std::string("/dev/input/") + entry->d_name;
    }
    closedir(dir);
    return found;
}

int OpenWhenThere(const char* prefix, const std::string& name, int seconds) {
    for (int tenth = 0; tenth < seconds * 10; ++tenth) {
        std::string node = FindNode(prefix, name);
        if (!node.empty()) {
            int fd = open(node.c_str(), O_RDONLY | O_CLOEXEC);
            if (fd >= 0) return fd;
        }
        usleep(100000);
    }
    fprintf(stderr, "joystick probe: no %s node for \"%s\" within %d s\n", prefix, name.c_str(),
            seconds);
    return -1;
}

std::string CodeName(unsigned type, unsigned code) {
    const char* name = libevdev_event_code_get_name(type, code);
    char text[64];
    snprintf(text, sizeof text, "0x%03x%s%s", code, name ? " " : "", name ? name : "");
    return text;
}

int ProbeEvdev(const std::string& name, int seconds) {
    int fd = OpenWhenThere("event", name, seconds);
    if (fd < 0) return 1;
    libevdev* device = nullptr;
    int status = libevdev_new_from_fd(fd, &device);
    if (status != 0) {
        fprintf(stderr, "joystick probe: libevdev: %s\n", strerror(-status));
        return 1;
    }
    printf("name \"%s\"\n", libevdev_get_name(device));
    printf("id bus %04x vendor %04x product %04x version %04x\n", libevdev_get_id_bustype(device),
           libevdev_get_id_vendor(device), libevdev_get_id_product(device),
           libevdev_get_id_version(device));
    for (unsigned type = 1; type < EV_CNT; ++type) {
        if (type == EV_SYN || !libevdev_has_event_type(device, type)) continue;
        int max = libevdev_event_type_get_max(type);
        for (int code = 0; code <= max; ++code) {
            if (!libevdev_has_event_code(device, type, code)) continue;
            if (type == EV_ABS) {
                const input_absinfo* abs = libevdev_get_abs_info(device, code);
                printf("%s %s min %d max %d fuzz %d flat %d value %d\n",
                       libevdev_event_type_get_name(type), CodeName(type, code).c_str(),
                       abs->minimum, abs->maximum, abs->fuzz, abs->flat, abs->value);
            } else {
                printf("%s %s value %d\n", libevdev_event_type_get_name(type),
                       CodeName(type, code).c_str(), libevdev_get_event_value(device, type, code));
            }
        }
    }
    printf("ready\n");
    fflush(stdout);
    for (;;) {
        input_event event;
        status = libevdev_next_event(device, LIBEVDEV_READ_FLAG_NORMAL | LIBEVDEV_READ_FLAG_BLOCKING,
                                     &event);
        if (status == -ENODEV) break;
        if (status == LIBEVDEV_READ_STATUS_SYNC) {
            // Dropped events would make the log meaningless.
            printf("SYN_DROPPED\n");
            continue;
        }
        if (status != LIBEVDEV_READ_STATUS_SUCCESS) {
            if (status == -EAGAIN || status == -EINTR) continue;
            fprintf(stderr, "joystick probe: reading: %s\n", strerror(-status));
            return 1;
        }
        // How events are grouped into frames depends on how the stream's
        // bytes arrived; only their order is fixed.
        if (event.type == EV_SYN) continue;
        printf("%s %s %d\n", libevdev_event_type_get_name(event.type),
               CodeName(event.type, event.code).c_str(), event.value);
        fflush(stdout);
    }
    printf("gone\n");
    return 0;
}

int ProbeJs(const std::string& name, int seconds) {
    int fd = OpenWhenThere("js", name, seconds);
    if (fd < 0) return 1;
    char jsName[128] = "";
    unsigned char axes = 0, buttons = 0;
    uint8_t axisMap[ABS_CNT] = {};
    uint16_t buttonMap[KEY_MAX - BTN_MISC + 1] = {};
    if (ioctl(fd, JSIOCGNAME(sizeof jsName), jsName) < 0 || ioctl(fd, JSIOCGAXES, &axes) < 0 ||
        ioctl(fd, JSIOCGBUTTONS, &buttons) < 0 || ioctl(fd, JSIOCGAXMAP, axisMap) < 0 ||
        ioctl(fd, JSIOCGBTNMAP, buttonMap) < 0) {
        fprintf(stderr, "joystick probe: js ioctl: %s\n", strerror(errno));
        return 1;
    }
    printf("name \"%s\" axes %d buttons %d\n", jsName, axes, buttons);
    for (int i = 0; i < axes; ++i)
        printf("axis %d is %s\n", i, CodeName(EV_ABS, axisMap[i]).c_str());
    for (int i = 0; i < buttons; ++i)
        printf("button %d is %s\n", i, CodeName(EV_KEY, buttonMap[i]).c_str());
    // joydev first reports every axis and button as it stands.
    int initial = axes + buttons;
    for (;;) {
        if (initial == 0) {
            printf("ready\n");
            fflush(stdout);
            initial = -1;
        }
        js_event event;
        ssize_t got = read(fd, &event, sizeof event);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 && errno == ENODEV) break;
        if (got != sizeof event) {
            fprintf(stderr, "joystick probe: js read: %s\n", got < 0 ? strerror(errno) : "short");
            return 1;
        }
        bool init = event.type & JS_EVENT_INIT;
        const char* kind = (event.type & ~JS_EVENT_INIT) == JS_EVENT_AXIS ? "axis" : "button";
        printf("%s%s %d %d\n", init ? "initial " : "", kind, event.number, event.value);
        fflush(stdout);
        if (init && initial > 0) --initial;
    }
    printf("gone\n");
    return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc == 4 && strcmp(argv[1], "evdev") == 0) return ProbeEvdev(argv[2], atoi(argv[3]));
    if (argc == 4 && strcmp(argv[1], "js") == 0) return ProbeJs(argv[2], atoi(argv[3]));
    fprintf(stderr, "usage: dorqin-joystick-probe evdev|js NAME SECONDS\n");
    return 2;
}
