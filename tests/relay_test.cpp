// The report dispatch: each report the box delivers becomes the events of
// its row, checked as frames on a real connection and lines on the console.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "relay/relay.h"
#include "support/box_fixture.h"
#include "support/descriptors.h"
#include "support/loopback.h"
#include "support/std_streams.h"

namespace {

std::string Event(int typ, int id, int value) {
    return "<DORQIN TYP=\"" + std::to_string(typ) + "\" ID=\"" + std::to_string(id) +
           "\" VALUE=\"" + std::to_string(value) + "\" />";
}

class Relay : public FakeBoxTest {
protected:
    void SetUp() override {
        FakeBoxTest::SetUp();
        ASSERT_TRUE(tree_.AddDevice(0, 0x046D, 0xC630, BoxDescriptor()));
        ASSERT_EQ(FindBox(BoxUsagePage, BoxUsage), 1);
        ASSERT_EQ(AllocReportBuffer(), 1);
        ASSERT_NE(peer_ = ConnectClientSocketToPeer(), INVALID_SOCKET);
    }
    void TearDown() override {
        ReleaseSocketLibrary();
        FakeBoxTest::TearDown();
    }

    // The box delivers one report and the relay handles it.
    void Deliver(const Bytes& report) {
        ASSERT_TRUE(WriteReport(tree_.NodePath("hidraw0"), report));
        ASSERT_GT(ReadInputReport(), 0);
        RelayReport();
    }

    // Delivers the reports and returns the event texts the client got and
    // the console text. A last marker report shows that nothing else was
    // sent in between.
    void Relays(const std::vector<Bytes>& reports, const std::vector<std::string>& events) {
        CapturedStdout out;
        for (const Bytes& report : reports) Deliver(report);
        Deliver({0x01, 0x34, 0x12});  // marker: buttons 0x1234
        out.Restore();
        std::string console;
        for (const std::string& event : events) {
            EXPECT_EQ(ReceiveFrom(peer_, EventFrameSize), EventFrame(event));
            console += event + "\n";
        }
        EXPECT_EQ(ReceiveFrom(peer_, EventFrameSize), EventFrame(Event(1, 0x1234, 1)));
        EXPECT_EQ(out.Text(), console + Event(1, 0x1234, 1) + "\n");
    }

    SOCKET peer_ = INVALID_SOCKET;
};

TEST_F(Relay, AButtonReportSendsItsStateWordAsASignedId) {
    Relays({{0x01, 0x01, 0x00},
            {0x01, 0x00, 0x80},
            {0x01, 0xFF, 0xFF},
            {0x01, 0x00, 0x00},
            {0x01, 0xFF, 0x03}},
           {Event(1, 1, 1), Event(1, -32768, 1), Event(1, -1, 1), Event(1, 0, 1),
            Event(1, 1023, 1)});
}

TEST_F(Relay, EachAxisReportSendsItsTwoReadingsOnItsOwnChannels) {
    Relays({{0x02, 0xBC, 0x02, 0x00, 0x02},   // X 700, Y 512
            {0x03, 0x10, 0x00, 0x20, 0x00},   // Z 16, Rx 32
            {0x04, 0x64, 0x00, 0xC8, 0x00},   // Ry 100, Rz 200: TYP 3 channels 0 and 1 again
            {0x05, 0x07, 0x00, 0xFB, 0xFF}},  // Slider 7, Dial 0xFFFB
           {Event(3, 0, 700), Event(3, 1, 512), Event(3, 2, 16), Event(3, 3, 32),
            Event(3, 0, 100), Event(3, 1, 200), Event(2, 2, 7), Event(2, 3, -5)});
}

TEST_F(Relay, AReadingOf1023IsDroppedWhileTheOtherReadingIsSent) {
    Relays({{0x02, 0xFF, 0x03, 0x00, 0x02},   // X 1023, Y 512
            {0x05, 0x2A, 0x00, 0xFF, 0x03}},  // Slider 42, Dial 1023
           {Event(3, 1, 512), Event(2, 2, 42)});
}

TEST_F(Relay, ReportsWithOtherIdsSendNothing) {
    Relays({{0x00, 0x01, 0x02, 0x03, 0x04}, {0x06, 0x01, 0x02}, {0xFF, 0xFF, 0xFF}}, {});
}

TEST_F(Relay, IdenticalReportsSendTheirEventsEveryTime) {
    Relays({{0x04, 0x01, 0x00, 0x02, 0x00}, {0x04, 0x01, 0x00, 0x02, 0x00}},
           {Event(3, 0, 1), Event(3, 1, 2), Event(3, 0, 1), Event(3, 1, 2)});
}

}  // namespace
