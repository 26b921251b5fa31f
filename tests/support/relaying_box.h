// Fixtures for black-box runs of the real binary with a box present: a
// fake hidraw tree laid over /sys/class and /dev in a mount namespace of
// the relay's own, with a FIFO as the box's node.
#pragma once

#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <initializer_list>
#include <string>

#include "support/descriptors.h"
#include "support/fake_hidraw.h"
#include "support/prerequisite.h"
#include "support/relay_process.h"

constexpr char kBoxFoundConsole[] =
    "Verbindung erhalten von: 127.0.0.1\n"
    "Initialiesierung Einlesen:\n\n";

inline std::string Event(int typ, int id, int value) {
    return "<DORQIN TYP=\"" + std::to_string(typ) + "\" ID=\"" + std::to_string(id) +
           "\" VALUE=\"" + std::to_string(value) + "\" />";
}

// The box's reports as a FIFO delivers them to the relay: every report
// padded to the box's input report length (5), so each read takes one.
inline Bytes Report(std::initializer_list<uint8_t> bytes) {
    Bytes report(bytes);
    report.resize(5, 0);
    return report;
}

class RelayWithDevices : public ::testing::Test {
protected:
    void SetUp() override {
        const char* hostDevices = getenv("DORQIN_NO_DEVNS");
        if (hostDevices && *hostDevices) {
            // Under Wine, for one: its HID stack would not see a fake tree.
            GTEST_SKIP() << "DORQIN_NO_DEVNS: the relay sees this machine's HID devices, so it "
                            "cannot be shown a fake box";
        }
        if (!DeviceViewsAvailable()) {
            MISSING_PREREQUISITE("root, for a mount namespace: without one the relay cannot "
                                 "be shown a fake box");
        }
        ASSERT_TRUE(tree_.ok());
        saved_ = RelayDeviceView();
        SetRelayDeviceView({tree_.ClassDir(), tree_.DevDir()});
    }
    void TearDown() override {
        StopRelay(&relay_);
        SetRelayDeviceView(saved_);
    }

    FakeHidTree tree_;
    DeviceView saved_;
    RelayProcess relay_;
};

// Starts the relay with the box present (by command_ when set, as a shell
// command line) and a client that has read the greeting, and opens the
// box's node for writing reports.
class RelayingBox : public RelayWithDevices {
protected:
    void SetUp() override {
        RelayWithDevices::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        ASSERT_TRUE(tree_.AddDevice(0, 0x046D, 0xC630, BoxDescriptor()));
        ASSERT_TRUE(command_.empty() ? StartRelay(&relay_)
                                     : StartRelayCommand(&relay_, command_, false));
        client_ = ConnectToRelay(Scaled(10000));
        ASSERT_GE(client_, 0);
        std::string greeting;
        ASSERT_TRUE(ReadExact(client_, &greeting, 44, Scaled(10000)));
        ASSERT_TRUE(WaitForConsole(&relay_, kBoxFoundConsole, Scaled(10000)));
        // The console speaks before the box is opened; a FIFO can be opened
        // for writing without blocking only once the relay holds it.
        for (int waited = 0; box_ < 0 && waited < Scaled(10000); waited += 10) {
            box_ = open(tree_.NodePath("hidraw0").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (box_ < 0) usleep(10000);
        }
        ASSERT_GE(box_, 0) << "the relay never opened the box";
    }
    void TearDown() override {
        if (client_ >= 0) close(client_);
        if (box_ >= 0) close(box_);
        RelayWithDevices::TearDown();
    }

    // Writes one report into the box's node without blocking; false when
    // the node is full because the relay has stopped reading it.
    bool Send(const Bytes& report) {
        return write(box_, report.data(), report.size()) == static_cast<ssize_t>(report.size());
    }

    // Types Enter until the run ends (the relay thread may take a line for
    // its own pause first); true once it has ended.
    bool EnterUntilTheRunEnds() {
        for (int i = 0; i < 20; ++i) {
            if (!Type(&relay_, "\n")) return false;
            if (WaitForExit(&relay_, Scaled(500))) return true;
        }
        return false;
    }

    std::string command_;
    int client_ = -1;
    int box_ = -1;
};
