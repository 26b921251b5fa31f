// dorqin-boxsim's reports: every encoded report has the length its
// descriptor declares and puts each reading where the descriptor says, so
// a HID parser (the kernel's, the relay's) reads back what was typed.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "tools/boxsim/command.h"
#include "tools/boxsim/report.h"

namespace {

// One input field as a HID parser sees it: where its bits are in the report
// (after the ID byte) and which usage they carry (0 for padding).
struct Field {
    int ReportId;
    uint32_t Usage;  // page << 16 | usage
    int BitOffset;   // from the start of the report, ID byte included
    int BitSize;
};

// A small walker over short items: enough of the HID grammar for this
// descriptor, independent of the code under test.
bool WalkDescriptor(const unsigned char* data, size_t size, std::vector<Field>* fields,
                    std::map<int, int>* reportBits) {
    uint32_t usagePage = 0;
    int reportId = 0, reportSize = 0, reportCount = 0;
    std::vector<uint32_t> usages;
    uint32_t usageMin = 0, usageMax = 0;
    bool haveRange = false;
    int depth = 0;
    for (size_t at = 0; at < size;) {
        unsigned char prefix = data[at];
        size_t length = prefix & 3;
        if (length == 3) length = 4;
        if (at + 1 + length > size) return false;
        uint32_t value = 0;
        for (size_t i = 0; i < length; ++i) value |= uint32_t(data[at + 1 + i]) << (8 * i);
        at += 1 + length;
        switch (prefix & 0xFC) {
        case 0x04: usagePage = value; break;
        case 0x74: reportSize = int(value); break;
        case 0x84:
            reportId = int(value);
            (*reportBits)[reportId] += 0;
            break;
        case 0x94: reportCount = int(value); break;
        case 0x14: case 0x24: break;  // logical limits: not needed for placement
        case 0x08: usages.push_back(length == 4 ? value : (usagePage << 16 | value)); break;
        case 0x18: usageMin = usagePage << 16 | value; haveRange = true; break;
        case 0x28: usageMax = usagePage << 16 | value; break;
        case 0xA0: ++depth; usages.clear(); haveRange = false; break;
        case 0xC0: --depth; break;
        case 0x80: {
            bool constant = value & 1;
            for (int i = 0; i < reportCount; ++i) {
                uint32_t usage = 0;
                if (!constant) {
                    if (haveRange) usage = usageMin + uint32_t(i);
                    else if (!usages.empty()) usage = usages[std::min<size_t>(i, usages.size() - 1)];
                    if (haveRange && usage > usageMax) return false;
                }
                fields->push_back({reportId, usage, 8 + (*reportBits)[reportId], reportSize});
                (*reportBits)[reportId] += reportSize;
            }
            usages.clear();
            haveRange = false;
            break;
        }
        default: return false;  // an item this descriptor should not use
        }
    }
    return depth == 0;
}

uint32_t ReadBits(const std::vector<unsigned char>& report, int offset, int size) {
    uint32_t value = 0;
    for (int i = 0; i < size; ++i) {
        int bit = offset + i;
        if (report[size_t(bit / 8)] & (1u << (bit % 8))) value |= 1u << i;
    }
    return value;
}

std::vector<unsigned char> Encode(int id, long a, long b) {
    unsigned char out[BoxsimMaxReportSize] = {};
    std::string error;
    int length = EncodeReport(id, a, b, out, sizeof out, &error);
    EXPECT_GT(length, 0) << error;
    return std::vector<unsigned char>(out, out + (length > 0 ? length : 0));
}

// The raw value of a usage in a report, as HidP_GetUsageValue gives it.
uint32_t Reading(const std::vector<Field>& fields, const std::vector<unsigned char>& report,
                 uint32_t usage) {
    for (const Field& field : fields) {
        if (field.ReportId == report[0] && field.Usage == usage)
            return ReadBits(report, field.BitOffset, field.BitSize);
    }
    ADD_FAILURE() << "usage " << std::hex << usage << " not in report " << int(report[0]);
    return 0;
}

class BoxsimReports : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(WalkDescriptor(BoxsimDescriptor, BoxsimDescriptorSize, &fields_, &bits_));
    }
    std::vector<Field> fields_;
    std::map<int, int> bits_;
};

TEST_F(BoxsimReports, DescriptorIsAJoystickCollection) {
    ASSERT_GE(BoxsimDescriptorSize, 6u);
    const unsigned char head[] = {0x05, 0x01, 0x09, 0x04, 0xA1, 0x01};
    EXPECT_EQ(std::vector<unsigned char>(BoxsimDescriptor, BoxsimDescriptor + 6),
              std::vector<unsigned char>(head, head + 6));
    // --usage patches this byte: it must be the top-level Usage item's value.
    EXPECT_EQ(BoxsimDescriptor[BoxsimUsageOffset - 1], 0x09);
    EXPECT_EQ(BoxsimDescriptor[BoxsimUsageOffset], 0x04);
}

TEST_F(BoxsimReports, EveryDeclaredReportHasItsDeclaredLength) {
    // The kernel drops a report shorter than its declaration.
    ASSERT_EQ(bits_.size(), 6u);
    for (const auto& [id, bits] : bits_) {
        EXPECT_EQ(bits % 8, 0) << "report " << id << " does not end on a byte";
        EXPECT_EQ(ReportLength(id), size_t(1 + bits / 8)) << "report " << id;
        EXPECT_LE(ReportLength(id), BoxsimMaxReportSize);
        EXPECT_EQ(Encode(id, 1, 1).size(), ReportLength(id)) << "report " << id;
    }
    EXPECT_EQ(ReportLength(0), 0u);
    EXPECT_EQ(ReportLength(7), 0u);
}

TEST_F(BoxsimReports, ReadingsLandWhereTheDescriptorPutsThem) {
    auto xy = Encode(ReportXY, 700, 512);
    EXPECT_EQ(xy[0], 2);
    EXPECT_EQ(Reading(fields_, xy, 0x00010030), 700u);
    EXPECT_EQ(Reading(fields_, xy, 0x00010031), 512u);
    // All ten bits set reads as 1023, and the padding stays zero.
    xy = Encode(ReportXY, 1023, 0);
    EXPECT_EQ(Reading(fields_, xy, 0x00010030), 1023u);
    EXPECT_EQ(Reading(fields_, xy, 0x00010031), 0u);
    xy = Encode(ReportXY, 1023, 1023);
    EXPECT_EQ(xy, (std::vector<unsigned char>{0x02, 0xFF, 0xFF, 0x0F}));

    struct { int id; uint32_t first, second; } rows[] = {
        {ReportZRx, 0x00010032, 0x00010033},
        {ReportRyRz, 0x00010034, 0x00010035},
        {ReportSliderDial, 0x00010036, 0x00010037},
    };
    for (const auto& row : rows) {
        auto report = Encode(row.id, 100, 200);
        EXPECT_EQ(Reading(fields_, report, row.first), 100u);
        EXPECT_EQ(Reading(fields_, report, row.second), 200u);
    }
    // Negative readings are their 16-bit two's complement: -5 reads 0xFFFB.
    auto report = Encode(ReportSliderDial, 7, -5);
    EXPECT_EQ(Reading(fields_, report, 0x00010036), 7u);
    EXPECT_EQ(Reading(fields_, report, 0x00010037), 0xFFFBu);
    EXPECT_EQ(Encode(ReportSliderDial, 7, 0xFFFB), report);
    EXPECT_EQ(Encode(ReportZRx, -32768, 32767),
              (std::vector<unsigned char>{0x03, 0x00, 0x80, 0xFF, 0x7F}));
}

TEST_F(BoxsimReports, ButtonWordIsLittleEndianWithButtonOneInBitZero) {
    EXPECT_EQ(Encode(ReportButtons, 0x0001, 0), (std::vector<unsigned char>{1, 0x01, 0x00}));
    EXPECT_EQ(Encode(ReportButtons, 0x8000, 0), (std::vector<unsigned char>{1, 0x00, 0x80}));
    EXPECT_EQ(Encode(ReportButtons, 0x03FF, 0), (std::vector<unsigned char>{1, 0xFF, 0x03}));
    auto report = Encode(ReportButtons, 0x0005, 0);
    EXPECT_EQ(Reading(fields_, report, 0x00090001), 1u);
    EXPECT_EQ(Reading(fields_, report, 0x00090002), 0u);
    EXPECT_EQ(Reading(fields_, report, 0x00090003), 1u);
    EXPECT_EQ(Reading(fields_, Encode(ReportButtons, 0x8000, 0), 0x00090010), 1u);
}

TEST_F(BoxsimReports, ValuesThatDoNotFitAreRefusedNotWrapped) {
    unsigned char out[BoxsimMaxReportSize];
    std::string error;
    EXPECT_EQ(EncodeReport(ReportXY, 1024, 0, out, sizeof out, &error), -1);
    EXPECT_NE(error.find("X"), std::string::npos);
    EXPECT_EQ(EncodeReport(ReportXY, 0, -1, out, sizeof out, &error), -1);
    EXPECT_EQ(EncodeReport(ReportButtons, 0x10000, 0, out, sizeof out, &error), -1);
    EXPECT_EQ(EncodeReport(ReportButtons, -1, 0, out, sizeof out, &error), -1);
    EXPECT_EQ(EncodeReport(ReportRyRz, 0, 65536, out, sizeof out, &error), -1);
    EXPECT_EQ(EncodeReport(ReportRyRz, -32769, 0, out, sizeof out, &error), -1);
    EXPECT_EQ(EncodeReport(ReportStatus, 256, 0, out, sizeof out, &error), -1);
    EXPECT_EQ(EncodeReport(7, 0, 0, out, sizeof out, &error), -1);
    EXPECT_EQ(EncodeReport(ReportZRx, 0, 0, out, 4, &error), -1);  // no room
}

BoxsimCommand Parsed(const std::string& line) {
    BoxsimCommand command;
    std::string error;
    EXPECT_TRUE(ParseCommand(line, &command, &error)) << line << ": " << error;
    return command;
}

std::string Refusal(const std::string& line) {
    BoxsimCommand command;
    std::string error;
    EXPECT_FALSE(ParseCommand(line, &command, &error)) << line;
    return error;
}

TEST(BoxsimCommands, ReportCommandsEncodeTheirReport) {
    EXPECT_EQ(Parsed("buttons 0x0005").Report, (std::vector<unsigned char>{1, 5, 0}));
    EXPECT_EQ(Parsed("  xy 700 512  ").Report, Encode(ReportXY, 700, 512));
    EXPECT_EQ(Parsed("z-rx -1 0x10").Report, Encode(ReportZRx, -1, 16));
    EXPECT_EQ(Parsed("ry-rz 100 200").Report, Encode(ReportRyRz, 100, 200));
    EXPECT_EQ(Parsed("slider-dial 7 -5").Report, Encode(ReportSliderDial, 7, -5));
    EXPECT_EQ(Parsed("status 9").Report, (std::vector<unsigned char>{6, 9}));
    EXPECT_EQ(Parsed("xy 1 2 # trailing comment").Report, Encode(ReportXY, 1, 2));
    // A leading zero is decimal, not octal.
    EXPECT_EQ(Parsed("buttons 010").Report, (std::vector<unsigned char>{1, 10, 0}));
}

TEST(BoxsimCommands, RawSleepDestroyAndComments) {
    BoxsimCommand raw = Parsed("raw 02 bc 0x2 FF");
    EXPECT_EQ(raw.Kind, CommandReport);
    EXPECT_EQ(raw.Report, (std::vector<unsigned char>{0x02, 0xBC, 0x02, 0xFF}));
    // Raw bytes go to any descriptor; the box's own reports only to the box's.
    EXPECT_FALSE(raw.BoxReport);
    EXPECT_TRUE(Parsed("xy 1 2").BoxReport);
    EXPECT_EQ(Parsed("replay").Kind, CommandReplay);
    BoxsimCommand sleep = Parsed("sleep 250");
    EXPECT_EQ(sleep.Kind, CommandSleep);
    EXPECT_EQ(sleep.SleepMs, 250);
    EXPECT_EQ(Parsed("destroy").Kind, CommandDestroy);
    EXPECT_EQ(Parsed("").Kind, CommandNothing);
    EXPECT_EQ(Parsed("   ").Kind, CommandNothing);
    EXPECT_EQ(Parsed("# xy 1 2").Kind, CommandNothing);
}

TEST(BoxsimCommands, BadLinesSayWhatIsWrong) {
    EXPECT_NE(Refusal("jump").find("unknown command"), std::string::npos);
    EXPECT_NE(Refusal("xy 1").find("2 values"), std::string::npos);
    EXPECT_NE(Refusal("xy 1 2 3").find("2 values"), std::string::npos);
    EXPECT_NE(Refusal("xy 1 two").find("not a number"), std::string::npos);
    EXPECT_NE(Refusal("xy 1024 0").find("does not fit"), std::string::npos);
    EXPECT_NE(Refusal("buttons 0x").find("not a number"), std::string::npos);
    EXPECT_NE(Refusal("buttons 99999999999").find("not a number"), std::string::npos);
    // 2^32 + 1: where long has 32 bits, an overflow would make it X = 1.
    EXPECT_NE(Refusal("xy 4294967297 0").find("not a number"), std::string::npos);
    EXPECT_EQ(Parsed("sleep 2147483647").SleepMs, 2147483647);
    EXPECT_NE(Refusal("sleep 2147483648").find("milliseconds"), std::string::npos);
    EXPECT_NE(Refusal("raw").find("hex bytes"), std::string::npos);
    EXPECT_NE(Refusal("raw 02 1ff").find("not a hex byte"), std::string::npos);
    EXPECT_NE(Refusal("raw 0g").find("not a hex byte"), std::string::npos);
    EXPECT_NE(Refusal("sleep -1").find("milliseconds"), std::string::npos);
    EXPECT_NE(Refusal("destroy now").find("no values"), std::string::npos);
    EXPECT_NE(Refusal("replay 2").find("no values"), std::string::npos);
}

}  // namespace
