#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "support/fake_hidraw.h"
#include "support/isolation.h"
#include "support/relay_process.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (!IsolateNetwork()) {
        // Shared on purpose under Wine (DORQIN_NO_NETNS); otherwise a
        // missing namespace means no root, which ./dev test requires.
        const char* shared = getenv("DORQIN_NO_NETNS");
        if (PrerequisitesRequired() && !(shared && *shared) &&
            !::testing::GTEST_FLAG(list_tests)) {
            return MissingPrerequisite(::testing::GTEST_FLAG(filter).c_str(),
                                       "root, for a network namespace of the tests' own");
        }
        fprintf(stderr, "note: no network namespace; using the host's port 5003\n");
    }
    // Unless a test shows it a box of its own, the relay sees none: a real
    // box on this machine must not change what the no-box tests expect.
    // DORQIN_NO_DEVNS leaves it the host's devices (as under Wine).
    static FakeHidTree noDevices;
    const char* off = getenv("DORQIN_NO_DEVNS");
    if (off && *off) {
        fprintf(stderr, "note: DORQIN_NO_DEVNS set; the relay sees this machine's HID devices\n");
    } else if (noDevices.ok() && DeviceViewsAvailable()) {
        SetRelayDeviceView({noDevices.ClassDir(), ""});
    } else {
        fprintf(stderr, "note: no mount namespace; the relay sees this machine's HID devices\n");
    }
    return RUN_ALL_TESTS();
}
