// Input reports and usage values of an open box, through FIFOs standing in
// for its node: each write into the FIFO is one report from the box.
#include <gtest/gtest.h>

#include "support/box_fixture.h"
#include "support/descriptors.h"

namespace {

class BoxReports : public FakeBoxTest {
protected:
    void OpenBox(const Bytes& descriptor) {
        ASSERT_TRUE(tree_.AddDevice(0, 0x046D, 0xC630, descriptor));
        ASSERT_EQ(FindBox(BoxUsagePage, BoxUsage), 1);
        ASSERT_EQ(AllocReportBuffer(), 1);
    }
    Bytes Buffer() const {
        return Bytes(BoxState.InputReport, BoxState.InputReport + BoxState.InputReportLength);
    }
    std::string Node() const { return tree_.NodePath("hidraw0"); }
};

TEST_F(BoxReports, AnEightByteBoxGetsAnEightByteBufferAndEachReadAsksForEight) {
    OpenBox(EightByteJoystickDescriptor());
    EXPECT_EQ(BoxState.InputReportLength, 8u);
    EXPECT_EQ(Buffer(), Bytes(8, 0));
    // Nine data bytes wait; one read takes one report's worth.
    ASSERT_TRUE(WriteReport(Node(), {1, 2, 3, 4, 5, 6, 7, 8, 9}));
    EXPECT_EQ(ReadInputReport(), 8);
    EXPECT_EQ(BoxState.ReportType, HidP_Input);
    // No report IDs: Windows' 0 stands in byte 0.
    EXPECT_EQ(Buffer(), Bytes({0, 1, 2, 3, 4, 5, 6, 7}));
    EXPECT_EQ(DrainNode(Node()), Bytes({8, 9}));
}

TEST_F(BoxReports, AShortReportLeavesNoBytesOfTheOneBefore) {
    OpenBox(BoxDescriptor());
    ASSERT_TRUE(WriteReport(Node(), {0x02, 0xBC, 0x02, 0x00, 0x02}));
    ASSERT_EQ(ReadInputReport(), 5);
    EXPECT_EQ(Buffer(), Bytes({0x02, 0xBC, 0x02, 0x00, 0x02}));
    ASSERT_TRUE(WriteReport(Node(), {0x01, 0x05}));
    ASSERT_EQ(ReadInputReport(), 5);  // Windows counts every report at full length
    EXPECT_EQ(Buffer(), Bytes({0x01, 0x05, 0x00, 0x00, 0x00}));
}

TEST_F(BoxReports, ABufferShorterThanTheBoxsReportsIsRefusedAndNothingIsTaken) {
    OpenBox(BoxDescriptor());
    ASSERT_TRUE(WriteReport(Node(), {0x02, 0x01, 0x00, 0x02, 0x00}));
    BYTE small[4];
    DWORD read = 99;
    EXPECT_FALSE(ReadFile(BoxState.ReadHandle, small, sizeof small, &read, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
    EXPECT_EQ(read, 0u);
    EXPECT_EQ(DrainNode(Node()), Bytes({0x02, 0x01, 0x00, 0x02, 0x00}));
}

TEST_F(BoxReports, AxesReadAsRawSixteenBitValuesOfTheCurrentReport) {
    OpenBox(BoxDescriptor());
    ASSERT_TRUE(WriteReport(Node(), {0x02, 0xBC, 0x02, 0x00, 0x02}));  // X 700, Y 512
    ASSERT_EQ(ReadInputReport(), 5);
    EXPECT_EQ(ReadUsageValue(UsageTable[0]), 700);
    EXPECT_EQ(ReadUsageValue(UsageTable[1]), 512);
    // Z is carried by report 3, not by this one: 0, not a stale value.
    EXPECT_EQ(ReadUsageValue(UsageTable[2]), 0);

    ASSERT_TRUE(WriteReport(Node(), {0x05, 0x07, 0x00, 0xFB, 0xFF}));  // Slider 7, Dial -5
    ASSERT_EQ(ReadInputReport(), 5);
    EXPECT_EQ(ReadUsageValue(UsageTable[6]), 7);
    EXPECT_EQ(ReadUsageValue(UsageTable[7]), 0xFFFB);
    EXPECT_EQ(static_cast<int16_t>(ReadUsageValue(UsageTable[7])), -5);
    EXPECT_EQ(ReadUsageValue(UsageTable[0]), 0);
}

TEST_F(BoxReports, ATenBitAxisAtItsTopReads1023) {
    OpenBox(TenBitJoystickDescriptor());
    ASSERT_EQ(BoxState.InputReportLength, 4u);
    ASSERT_TRUE(WriteReport(Node(), {0x02, 0xFF, 0x03, 0x08}));  // X 1023, Y 512
    ASSERT_EQ(ReadInputReport(), 4);
    EXPECT_EQ(ReadUsageValue(UsageTable[0]), 1023);
    EXPECT_EQ(ReadUsageValue(UsageTable[1]), 512);
}

TEST_F(BoxReports, TheBufferNeverHasFewerBytesThanTheRelayReads) {
    // Caps as a box with too short a report, or none, would give them;
    // discovery refuses such boxes, the buffer stays safe regardless.
    for (USHORT length : {0, 1, 2}) {
        BoxState.Caps.InputReportByteLength = length;
        ASSERT_EQ(AllocReportBuffer(), 1);
        ASSERT_NE(BoxState.InputReport, nullptr);
        EXPECT_EQ(BoxState.InputReportLength, length);
        EXPECT_EQ(Bytes(BoxState.InputReport, BoxState.InputReport + MinInputReportLength),
                  Bytes(MinInputReportLength, 0));
    }
    // With no box behind it a read delivers nothing and a value reads 0.
    EXPECT_EQ(ReadInputReport(), 0);
    EXPECT_EQ(ReadUsageValue(UsageTable[0]), 0);
}

}  // namespace
