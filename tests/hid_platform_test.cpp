// The SetupAPI and HID library stand-ins as a Win32 caller sees them.
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/posix/uevent.h"
#include "support/box_fixture.h"
#include "support/descriptors.h"

namespace {

class HidPlatform : public FakeBoxTest {
protected:
    void SetUp() override {
        FakeBoxTest::SetUp();
        HidD_GetHidGuid(&hid_);
    }
    HDEVINFO List() {
        return SetupDiGetClassDevsA(&hid_, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    }
    GUID hid_;
};

TEST_F(HidPlatform, InterfacesEnumerateUntilNoMoreItemsAndSkipHalfGoneEntries) {
    ASSERT_TRUE(tree_.AddDevice(3, 0x046D, 0xC630, BoxDescriptor()));
    // An entry without its uevent yet, and something that is no hidraw node.
    ASSERT_EQ(mkdir((tree_.HidrawDir() + "/hidraw1").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((tree_.HidrawDir() + "/hidrawx").c_str(), 0755), 0);
    HDEVINFO list = List();
    ASSERT_NE(list, INVALID_HANDLE_VALUE);
    // Devices that come later are not in a list already made.
    ASSERT_TRUE(tree_.AddDevice(4, 0x046D, 0xC630, BoxDescriptor()));
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    EXPECT_TRUE(SetupDiEnumDeviceInterfaces(list, nullptr, &hid_, 0, &data));
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(list, nullptr, &hid_, 1, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    data.cbSize = sizeof data + 1;
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(list, nullptr, &hid_, 0, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(list));
}

// From here on every read of a directory fails with EIO, as readdir fails
// with EOVERFLOW in a 32-bit program without large-file support whose
// kernel hands out 64-bit directory positions (qemu-user refuses it).
bool FailDirectoryReads() {
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_getdents64, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EIO),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program{sizeof filter / sizeof filter[0], filter};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

// A class directory that cannot be read, at its open or at a read, gives
// no list (and so no box) rather than an empty or partial one.
TEST_F(HidPlatform, AClassDirectoryThatCannotBeReadGivesNoList) {
    ASSERT_TRUE(tree_.AddDevice(0, 0x046D, 0xC630, BoxDescriptor()));
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (!FailDirectoryReads()) _exit(2);
        const bool refused = List() == INVALID_HANDLE_VALUE &&
                             GetLastError() == static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED);
        _exit(refused && FindBox(BoxUsagePage, BoxUsage) == 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_NE(WEXITSTATUS(status), 2) << "no seccomp filter could be set";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the listing's failed read gave a list";

    const std::string loop = tree_.ClassDir() + "/loop";
    ASSERT_EQ(symlink(loop.c_str(), loop.c_str()), 0);
    ASSERT_TRUE(SetHidDeviceRoots(loop.c_str(), tree_.DevDir().c_str()));
    EXPECT_EQ(List(), INVALID_HANDLE_VALUE);  // ELOOP
    EXPECT_NE(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
}

TEST_F(HidPlatform, TheDetailRecordComesFromASizeQueryThenAFetch) {
    ASSERT_TRUE(tree_.AddDevice(0, 0x046D, 0xC630, BoxDescriptor()));
    HDEVINFO list = List();
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    ASSERT_TRUE(SetupDiEnumDeviceInterfaces(list, nullptr, &hid_, 0, &data));

    const std::string path = tree_.NodePath("hidraw0");
    DWORD required = 0;
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(list, &data, nullptr, 0, &required, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    ASSERT_EQ(required, offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + path.size() + 1);

    std::vector<char> block(required);
    auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(block.data());
    detail->cbSize = 5;  // the 32-bit head size is wrong here
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(list, &data, detail, required, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    EXPECT_FALSE(
        SetupDiGetDeviceInterfaceDetailA(list, &data, detail, required - 1, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    ASSERT_TRUE(SetupDiGetDeviceInterfaceDetailA(list, &data, detail, required, nullptr, nullptr));
    EXPECT_EQ(std::string(detail->DevicePath), path);
    SetupDiDestroyDeviceInfoList(list);
}

TEST_F(HidPlatform, AttributesComeFromTheSysfsIdentityAndOnlyForHidNodes) {
    ASSERT_TRUE(tree_.AddDevice(0, 0, 0, BoxDescriptor(), FakeNode::kFifo,
                                "0005:0000046d:0000c630"));
    HANDLE device = CreateFileA(tree_.NodePath("hidraw0").c_str(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                nullptr);
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    HIDD_ATTRIBUTES attributes{};
    ASSERT_TRUE(HidD_GetAttributes(device, &attributes));
    EXPECT_EQ(attributes.Size, 12u);
    EXPECT_EQ(attributes.VendorID, 0x046D);
    EXPECT_EQ(attributes.ProductID, 0xC630);
    CloseHandle(device);

    // The same node name outside the device root is no HID device.
    const std::string elsewhere = tree_.ClassDir() + "/hidraw0";
    ASSERT_EQ(mkfifo(elsewhere.c_str(), 0600), 0);
    HANDLE plain = CreateFileA(elsewhere.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(plain, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(HidD_GetAttributes(plain, &attributes));
    PHIDP_PREPARSED_DATA data = nullptr;
    EXPECT_FALSE(HidD_GetPreparsedData(plain, &data));
    CloseHandle(plain);
}

TEST_F(HidPlatform, UsageValueStatusesFollowWindows) {
    ASSERT_TRUE(tree_.AddDevice(0, 0x046D, 0xC630, BoxDescriptor()));
    ASSERT_EQ(FindBox(BoxUsagePage, BoxUsage), 1);
    PHIDP_PREPARSED_DATA data = BoxState.PreparsedData;
    CHAR report[5] = {0x02, static_cast<CHAR>(0xBC), 0x02, 0x00, 0x02};
    ULONG value = 12345;
    EXPECT_EQ(HidP_GetUsageValue(HidP_Input, 0x01, 0, 0x30, &value, data, report, 5),
              HIDP_STATUS_SUCCESS);
    EXPECT_EQ(value, 700u);
    value = 12345;
    EXPECT_EQ(HidP_GetUsageValue(HidP_Input, 0x01, 0, 0x32, &value, data, report, 5),
              HIDP_STATUS_INCOMPATIBLE_REPORT_ID);
    EXPECT_EQ(HidP_GetUsageValue(HidP_Input, 0x01, 0, 0x38, &value, data, report, 5),
              HIDP_STATUS_USAGE_NOT_FOUND);
    EXPECT_EQ(HidP_GetUsageValue(HidP_Input, 0x01, 0, 0x30, &value, data, report, 4),
              HIDP_STATUS_INVALID_REPORT_LENGTH);
    EXPECT_EQ(HidP_GetUsageValue(HidP_Feature, 0x01, 0, 0x30, &value, data, report, 0),
              HIDP_STATUS_USAGE_NOT_FOUND);
    EXPECT_EQ(value, 12345u);  // failures leave the caller's variable alone
    EXPECT_EQ(HidP_GetUsageValue(HidP_Input, 0x01, 0, 0x30, &value, nullptr, report, 5),
              HIDP_STATUS_INVALID_PREPARSED_DATA);
    HIDP_CAPS caps;
    EXPECT_EQ(HidP_GetCaps(nullptr, &caps), HIDP_STATUS_INVALID_PREPARSED_DATA);
}

// The one uevent reader behind the hidraw entries' DEVNAME and HID_ID and
// dorqin-boxsim's HID_UNIQ: whole keys only, the last line with or
// without its newline, and no value cut to fit.
TEST_F(HidPlatform, UeventValuesAreFoundByTheirWholeKeyAndNeverCutShort) {
    const std::string path = tree_.ClassDir() + "/uevent";
    auto write = [&path](const std::string& text) {
        FILE* file = fopen(path.c_str(), "w");
        ASSERT_NE(file, nullptr);
        fputs(text.c_str(), file);
        fclose(file);
    };
    char value[8];
    auto read = [&](const char* key, size_t capacity = sizeof value) {
        return ReadUeventValue(path.c_str(), key, value, capacity) ? std::string(value) : "(none)";
    };
    write("HID_IDX=1\nHID=2\nHID_ID=abc\nHID_UNIQ=\nLAST=tail");
    EXPECT_EQ(read("HID_ID"), "abc");
    EXPECT_EQ(read("HID"), "2");
    EXPECT_EQ(read("HID_UNIQ"), "");
    EXPECT_EQ(read("LAST"), "tail");
    EXPECT_EQ(read("HID_I"), "(none)");
    EXPECT_EQ(read("LAST", 5), "tail");
    EXPECT_EQ(read("LAST", 4), "(none)");
    write("DEVNAME=hidraw0\n" + std::string(4096, 'x'));  // more than a sysfs page
    EXPECT_EQ(read("DEVNAME", sizeof value), "(none)");
    EXPECT_EQ(ReadUeventValue((path + ".absent").c_str(), "DEVNAME", value, sizeof value), false);
}

}  // namespace
