// FindBox against fake sysfs trees whose device nodes are FIFOs.
#include <gtest/gtest.h>

#include "support/box_fixture.h"
#include "support/descriptors.h"

namespace {

typedef FakeBoxTest BoxDiscovery;

TEST_F(BoxDiscovery, WithNoHidDeviceThereIsNoBoxAndNothingIsOpen) {
    EXPECT_EQ(FindBox(BoxUsagePage, BoxUsage), 0);
    EXPECT_TRUE(BoxHoldsNothing());
    // No hidraw class at all (the module is not loaded) is the same.
    ASSERT_TRUE(SetHidDeviceRoots((tree_.ClassDir() + "/absent").c_str(), tree_.DevDir().c_str()));
    EXPECT_EQ(FindBox(BoxUsagePage, BoxUsage), 0);
    EXPECT_TRUE(BoxHoldsNothing());
}

TEST_F(BoxDiscovery, TheBoxIsOpenedTwiceWithItsIdentityAndCaps) {
    ASSERT_TRUE(tree_.AddDevice(0, 0x046D, 0xC630, BoxDescriptor()));
    ASSERT_EQ(FindBox(BoxUsagePage, BoxUsage), 1);
    EXPECT_EQ(OpenCount("hidraw0"), 2);  // ReadHandle and SecondHandle
    EXPECT_NE(BoxState.ReadHandle, BoxState.SecondHandle);
    EXPECT_NE(BoxState.PreparsedData, nullptr);
    EXPECT_EQ(BoxState.Attributes.VendorID, 0x046D);
    EXPECT_EQ(BoxState.Attributes.ProductID, 0xC630);
    EXPECT_EQ(BoxState.Caps.UsagePage, 0x01);
    EXPECT_EQ(BoxState.Caps.Usage, 0x04);
    EXPECT_EQ(BoxState.Caps.InputReportByteLength, 5);
}

TEST_F(BoxDiscovery, ADeviceThatDiffersInAnyOfTheFourIsNoBox) {
    ASSERT_TRUE(tree_.AddDevice(0, 0x046D, 0xC630, GamePadDescriptor()));
    ASSERT_TRUE(tree_.AddDevice(1, 0x046E, 0xC630, BoxDescriptor()));
    ASSERT_TRUE(tree_.AddDevice(2, 0x046D, 0xC631, BoxDescriptor()));
    EXPECT_EQ(FindBox(BoxUsagePage, BoxUsage), 0);
    EXPECT_TRUE(BoxHoldsNothing());
    EXPECT_EQ(OpenInTree(), 0);
    // The same Game Pad is what a caller asking for a Game Pad gets.
    EXPECT_EQ(FindBox(0x01, 0x05), 1);
    EXPECT_EQ(OpenCount("hidraw0"), 2);
}

TEST_F(BoxDiscovery, OfTwoBoxesTheFirstEnumeratedWinsAndTheOtherIsNeverOpened) {
    // Node order, not name order: hidraw2 comes before hidraw10.
    ASSERT_TRUE(tree_.AddDevice(10, 0x046D, 0xC630, BoxDescriptor()));
    ASSERT_TRUE(tree_.AddDevice(2, 0x046D, 0xC630, BoxDescriptor()));
    OpenWatch watch(tree_.NodePath("hidraw10"));
    ASSERT_TRUE(watch.ok());
    ASSERT_EQ(FindBox(BoxUsagePage, BoxUsage), 1);
    EXPECT_EQ(OpenCount("hidraw2"), 2);
    EXPECT_EQ(OpenCount("hidraw10"), 0);
    EXPECT_FALSE(watch.SawOpen());
}

TEST_F(BoxDiscovery, NodesThatCannotBeOpenedAreSkippedAndTheSearchGoesOn) {
    ASSERT_TRUE(tree_.AddDevice(0, 0x046D, 0xC630, BoxDescriptor(), FakeNode::kMissing));
    ASSERT_TRUE(tree_.AddDevice(1, 0x046D, 0xC630, BoxDescriptor(), FakeNode::kDirectory));
    ASSERT_TRUE(tree_.AddDevice(2, 0x046D, 0xC630, BoxDescriptor()));
    ASSERT_EQ(FindBox(BoxUsagePage, BoxUsage), 1);
    EXPECT_EQ(OpenCount("hidraw2"), 2);
    EXPECT_EQ(OpenInTree(), 2);
}

TEST_F(BoxDiscovery, CandidatesWhoseIdentityOrDescriptorCannotBeHadAreSkipped) {
    // The box's identity, but a descriptor that does not parse.
    Bytes truncated = BoxDescriptor();
    truncated.resize(truncated.size() - 4);
    ASSERT_TRUE(tree_.AddDevice(0, 0x046D, 0xC630, truncated));
    // A box descriptor behind an identity line that does not parse.
    ASSERT_TRUE(tree_.AddDevice(1, 0, 0, BoxDescriptor(), FakeNode::kFifo, "0003:046D"));
    ASSERT_TRUE(tree_.AddDevice(2, 0x046D, 0xC630, BoxDescriptor()));
    ASSERT_EQ(FindBox(BoxUsagePage, BoxUsage), 1);
    EXPECT_EQ(OpenCount("hidraw0") + OpenCount("hidraw1"), 0);
    EXPECT_EQ(OpenCount("hidraw2"), 2);
}

TEST_F(BoxDiscovery, ARejectedCandidateLeavesNothingOfItselfOrOfTheOneBefore) {
    ASSERT_TRUE(tree_.AddDevice(0, 0x046D, 0xC630, BoxDescriptor()));
    Bytes broken = BoxDescriptor();
    broken.back() = 0xA1;  // a collection that never ends
    ASSERT_TRUE(tree_.AddDevice(1, 0x046D, 0xC630, broken));

    GUID hid;
    HidD_GetHidGuid(&hid);
    HDEVINFO list = SetupDiGetClassDevsA(&hid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(list, INVALID_HANDLE_VALUE);
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    ASSERT_TRUE(SetupDiEnumDeviceInterfaces(list, nullptr, &hid, 0, &data));
    ASSERT_EQ(TryBoxInterface(list, &data, BoxUsagePage, BoxUsage), 1);
    // The second one fails before its identity is known: the first one's
    // vendor, product and caps must not let it pass.
    ASSERT_TRUE(SetupDiEnumDeviceInterfaces(list, nullptr, &hid, 1, &data));
    EXPECT_EQ(TryBoxInterface(list, &data, BoxUsagePage, BoxUsage), 0);
    EXPECT_TRUE(BoxHoldsNothing());
    EXPECT_EQ(OpenInTree(), 0);
    SetupDiDestroyDeviceInfoList(list);
}

TEST_F(BoxDiscovery, ABoxWhoseReportsCannotHoldTheButtonBytesIsNoBox) {
    ASSERT_TRUE(tree_.AddDevice(0, 0x046D, 0xC630, ShortReportJoystickDescriptor()));
    // A Joystick collection with no input report at all.
    ASSERT_TRUE(tree_.AddDevice(1, 0x046D, 0xC630, {0x05, 0x01, 0x09, 0x04, 0xA1, 0x01, 0xC0}));
    EXPECT_EQ(FindBox(BoxUsagePage, BoxUsage), 0);
    EXPECT_TRUE(BoxHoldsNothing());
    EXPECT_EQ(OpenInTree(), 0);
}

// A keyboard collection (report 7) before the box's own collection: as on
// Windows, each top-level collection is an interface, the relay finds the
// box second, and its handle reads only the box's reports.
TEST_F(BoxDiscovery, ABoxWhoseJoystickCollectionIsNotFirstIsFoundAndReadsOnlyItsReports) {
    Bytes composite = {0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x85, 0x07,  // Keyboard, report 7
                       0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7, 0x15, 0x00, 0x25, 0x01,
                       0x75, 0x01, 0x95, 0x08, 0x81, 0x02,              // 8 modifier bits
                       0x95, 0x06, 0x75, 0x08, 0x19, 0x00, 0x29, 0x65, 0x26, 0xFF, 0x00,
                       0x81, 0x00, 0xC0};                               // 6 key slots
    const Bytes box = BoxDescriptor();
    composite.insert(composite.end(), box.begin(), box.end());
    ASSERT_TRUE(tree_.AddDevice(0, 0x046D, 0xC630, composite));
    ASSERT_EQ(FindBox(BoxUsagePage, BoxUsage), 1);
    EXPECT_EQ(BoxState.Caps.Usage, 0x04);
    // The box's reports alone: the keyboard's 8-byte report is not counted.
    EXPECT_EQ(BoxState.Caps.InputReportByteLength, 5);
    EXPECT_EQ(OpenCount("hidraw0"), 2);
    ASSERT_EQ(AllocReportBuffer(), 1);
    ASSERT_TRUE(WriteReport(tree_.NodePath("hidraw0"), {0x07, 0x02, 0x04, 0, 0, 0, 0, 0}));
    ASSERT_TRUE(WriteReport(tree_.NodePath("hidraw0"), {0x02, 0xBC, 0x02, 0x00, 0x02}));
    ASSERT_EQ(ReadInputReport(), 5);
    EXPECT_EQ(BoxState.InputReport[0], 0x02);
    EXPECT_EQ(ReadUsageValue(UsageTable[0]), 700);
}

TEST_F(BoxDiscovery, AnEnumerationStepThatFailsIsSkippedAndTheSearchGoesOn) {
    ASSERT_TRUE(tree_.AddDevice(0, 0x046D, 0xC630, GamePadDescriptor()));
    ASSERT_TRUE(tree_.AddDevice(1, 0x046D, 0xC630, BoxDescriptor()));
    SetHidEnumerationFault(0, ERROR_INVALID_DATA);
    EXPECT_EQ(FindBox(BoxUsagePage, BoxUsage), 1);
    EXPECT_EQ(OpenCount("hidraw1"), 2);
    CloseBox();
    // A failure at the box's own index is a miss, not the end of the list.
    ASSERT_TRUE(tree_.AddDevice(2, 0x046D, 0xC630, BoxDescriptor()));
    SetHidEnumerationFault(1, ERROR_GEN_FAILURE);
    EXPECT_EQ(FindBox(BoxUsagePage, BoxUsage), 1);
    EXPECT_EQ(OpenCount("hidraw2"), 2);
}

}  // namespace
