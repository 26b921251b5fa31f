// SendEvent against a real loopback connection: exact bytes on the wire,
// exact text on the console.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "net/server.h"
#include "platform/posix/send_limit.h"
#include "support/loopback.h"
#include "support/std_streams.h"

namespace {

class SendEventTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(peer_ = ConnectClientSocketToPeer(), INVALID_SOCKET); }
    void TearDown() override { ReleaseSocketLibrary(); }
    std::string Receive(size_t n) { return ReceiveFrom(peer_, n); }

    SOCKET peer_ = INVALID_SOCKET;
};

TEST_F(SendEventTest, SendsTheTextZeroFilledToOneHundredBytesAndEchoesIt) {
    CapturedStdout out;
    EXPECT_EQ(SendEvent(3, 0, 1022), 1);
    EXPECT_EQ(SendEvent(1, -32767, 1), 1);
    out.Restore();
    const std::string first = "<DORQIN TYP=\"3\" ID=\"0\" VALUE=\"1022\" />";
    const std::string second = "<DORQIN TYP=\"1\" ID=\"-32767\" VALUE=\"1\" />";
    EXPECT_EQ(Receive(100), EventFrame(first));
    std::string frame = Receive(100);
    EXPECT_EQ(frame, EventFrame(second));
    EXPECT_EQ(frame.find('\0'), 40u);  // 60 zero bytes follow the text
    EXPECT_EQ(out.Text(), first + "\n" + second + "\n");
}

TEST_F(SendEventTest, DropsAValueOf1023WithoutTraceButNotAnIdOf1023) {
    CapturedStdout out;
    EXPECT_EQ(SendEvent(3, 0, 1023), 0);
    EXPECT_EQ(out.Text(), "");
    EXPECT_EQ(SendEvent(1, 1023, 1), 1);
    EXPECT_EQ(SendEvent(3, 1, 1024), 1);
    out.Restore();
    // Had the dropped event left anything on the wire, these would be shifted.
    EXPECT_EQ(Receive(100), EventFrame("<DORQIN TYP=\"1\" ID=\"1023\" VALUE=\"1\" />"));
    EXPECT_EQ(Receive(100), EventFrame("<DORQIN TYP=\"3\" ID=\"1\" VALUE=\"1024\" />"));
}

TEST_F(SendEventTest, CutsTypToSixteenBitsReadAsSigned) {
    CapturedStdout out;
    EXPECT_EQ(SendEvent(0x10003, 0, 5), 1);
    EXPECT_EQ(SendEvent(0xFFFF, 0, 5), 1);
    EXPECT_EQ(SendEvent(0x18000, 0, 5), 1);
    out.Restore();
    EXPECT_EQ(Receive(100), EventFrame("<DORQIN TYP=\"3\" ID=\"0\" VALUE=\"5\" />"));
    EXPECT_EQ(Receive(100), EventFrame("<DORQIN TYP=\"-1\" ID=\"0\" VALUE=\"5\" />"));
    EXPECT_EQ(Receive(100), EventFrame("<DORQIN TYP=\"-32768\" ID=\"0\" VALUE=\"5\" />"));
}

TEST_F(SendEventTest, TheLongestTextStillLeavesFortyZeroBytes) {
    CapturedStdout out;
    EXPECT_EQ(SendEvent(-32768, INT_MIN, INT_MIN), 1);
    EXPECT_EQ(SendEvent(32767, INT_MAX, 0), 1);
    out.Restore();
    const std::string longest =
        "<DORQIN TYP=\"-32768\" ID=\"-2147483648\" VALUE=\"-2147483648\" />";
    ASSERT_EQ(longest.size(), 60u);
    EXPECT_EQ(Receive(100), EventFrame(longest));
    EXPECT_EQ(Receive(100), EventFrame("<DORQIN TYP=\"32767\" ID=\"2147483647\" VALUE=\"0\" />"));
}

TEST_F(SendEventTest, AFrameASendCutShortIsCompletedSoTheStreamStaysAligned) {
    // A client splits the stream by size alone: one short frame would shift
    // every frame after it.
    SetSendLimit(37);
    CapturedStdout out;
    EXPECT_EQ(SendEvent(3, 0, 700), 1);
    EXPECT_EQ(SendEvent(3, 1, -5), 1);
    SetSendLimit(0);
    out.Restore();
    EXPECT_EQ(Receive(100), EventFrame("<DORQIN TYP=\"3\" ID=\"0\" VALUE=\"700\" />"));
    EXPECT_EQ(Receive(100), EventFrame("<DORQIN TYP=\"3\" ID=\"1\" VALUE=\"-5\" />"));
    EXPECT_EQ(out.Text(), "<DORQIN TYP=\"3\" ID=\"0\" VALUE=\"700\" />\n"
                          "<DORQIN TYP=\"3\" ID=\"1\" VALUE=\"-5\" />\n");
}

TEST_F(SendEventTest, AFailedSendIsReportedPausesAndEveryLaterSendFailsAtOnce) {
    FedStdin input("abc");
    CapturedStdout out;
    closesocket(peer_);
    // The first send after the peer left may still be taken by the kernel;
    // the reset it provokes fails a later one.
    int result = 1;
    for (int attempt = 0; attempt < 20 && result == 1; ++attempt) result = SendEvent(3, 0, 5);
    ASSERT_EQ(result, -1);
    std::string console = out.Text();
    const std::string message = "Fehler beim Versenden der Daten.";
    ASSERT_GE(console.size(), message.size());
    EXPECT_EQ(console.substr(console.size() - message.size()), message);
    EXPECT_EQ(console.find(message), console.size() - message.size());

    // The library is released now: the next send fails without reaching a
    // socket, and reports and pauses again. A 1023 still does nothing.
    EXPECT_EQ(SendEvent(3, 1, 6), -1);
    EXPECT_EQ(SendEvent(3, 1, 1023), 0);
    out.Restore();
    EXPECT_EQ(out.Text(), console + message);
    EXPECT_EQ(FedStdin::Rest(), "c");  // two pauses, one character each
}

}  // namespace
