// dorqin-listen's stream checks: what a well-formed frame decodes to, and
// that every way a frame can leave the template is refused.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "net/server.h"
#include "tools/listen/describe.h"
#include "tools/listen/frame.h"

namespace {

std::string Frame(const std::string& text) { return text + std::string(100 - text.size(), '\0'); }

int Parse(const std::string& frame, FrameEvent* event = nullptr, std::string* detail = nullptr) {
    FrameEvent ignored;
    return ParseEventFrame(reinterpret_cast<const unsigned char*>(frame.data()), frame.size(),
                           event ? event : &ignored, detail);
}

std::string Text(int typ, const std::string& id, const std::string& value) {
    return "<DORQIN TYP=\"" + std::to_string(typ) + "\" ID=\"" + id + "\" VALUE=\"" + value +
           "\" />";
}

TEST(ListenFrame, DecodesEventsAsTheRelayWritesThem) {
    FrameEvent event;
    ASSERT_EQ(Parse(Frame("<DORQIN TYP=\"3\" ID=\"0\" VALUE=\"700\" />"), &event), FrameOk);
    EXPECT_EQ(event.Typ, 3);
    EXPECT_EQ(event.Id, 0);
    EXPECT_EQ(event.Value, 700);

    ASSERT_EQ(Parse(Frame(Text(1, "-32768", "1")), &event), FrameOk);
    EXPECT_EQ(event.Id, -32768);
    ASSERT_EQ(Parse(Frame(Text(2, "3", "-5")), &event), FrameOk);
    EXPECT_EQ(event.Value, -5);
    // The widest text the relay can write: 60 characters, 40 zero bytes.
    std::string widest = "<DORQIN TYP=\"-32768\" ID=\"-2147483648\" VALUE=\"-2147483648\" />";
    ASSERT_EQ(widest.size(), 60u);
    ASSERT_EQ(Parse(Frame(widest), &event), FrameOk);
    EXPECT_EQ(event.Typ, -32768);
    EXPECT_EQ(event.Id, INT32_MIN);
    EXPECT_EQ(event.Value, INT32_MIN);
    ASSERT_EQ(Parse(Frame(Text(32767, "2147483647", "2147483647")), &event), FrameOk);
    EXPECT_EQ(event.Value, INT32_MAX);
}

TEST(ListenFrame, AnIdOf1023IsAnEventButAValueOf1023IsNever) {
    FrameEvent event;
    EXPECT_EQ(Parse(Frame(Text(1, "1023", "1")), &event), FrameOk);
    EXPECT_EQ(event.Id, 1023);
    EXPECT_EQ(Parse(Frame(Text(3, "0", "1022"))), FrameOk);
    std::string detail;
    EXPECT_EQ(Parse(Frame(Text(3, "0", "1023")), nullptr, &detail), FrameNoValueMarker);
    EXPECT_NE(detail.find("1023"), std::string::npos);
}

TEST(ListenFrame, RefusesNumbersTheRelayWouldNotWrite) {
    for (const char* value : {"", "-", "+5", " 5", "007", "-0", "2147483648", "-2147483649",
                              "99999999999999999999"}) {
        EXPECT_EQ(Parse(Frame(Text(3, "0", value))), FrameBadNumber) << '"' << value << '"';
        EXPECT_EQ(Parse(Frame(Text(3, value, "1"))), FrameBadNumber) << '"' << value << '"';
    }
    // A number followed by anything but the closing quote leaves the template.
    for (const char* value : {"5 ", "1.5", "0x10", "12a"}) {
        EXPECT_EQ(Parse(Frame(Text(3, "0", value))), FrameBadTemplate) << '"' << value << '"';
    }
    // TYP is a 16-bit value on the wire.
    EXPECT_EQ(Parse(Frame("<DORQIN TYP=\"32768\" ID=\"0\" VALUE=\"1\" />")), FrameBadNumber);
    EXPECT_EQ(Parse(Frame("<DORQIN TYP=\"-32769\" ID=\"0\" VALUE=\"1\" />")), FrameBadNumber);
}

TEST(ListenFrame, RefusesTextThatLeavesTheTemplate) {
    for (const char* text : {
             "<DORQIN TYP=\"3\" ID=\"0\" VALUE=\"7\"/>",      // no blank before />
             "<DORQIN  TYP=\"3\" ID=\"0\" VALUE=\"7\" />",    // two blanks
             "<dorqin TYP=\"3\" ID=\"0\" VALUE=\"7\" />",     // element name's case
             "<DORQIN ID=\"0\" TYP=\"3\" VALUE=\"7\" />",     // attribute order
             "<DORQIN TYP='3' ID='0' VALUE='7' />",           // quotes
             "<DORQIN TYP=\"3\" ID=\"0\" VALUE=\"7\" />\n",   // a line break after it
             "<DORQIN TYP=\"3\" ID=\"0\" VALUE=\"7\" /> ",    // trailing blank
             "<DORQIN TYP=\"3\" ID=\"0\" />",                 // VALUE missing
             "",                                              // all zero
         }) {
        std::string detail;
        EXPECT_EQ(Parse(Frame(text), nullptr, &detail), FrameBadTemplate) << text;
        EXPECT_FALSE(detail.empty());
    }
}

TEST(ListenFrame, RefusesDirtFillLengthAndAMissingTerminator) {
    std::string frame = Frame(Text(3, "0", "7"));
    frame[99] = 'x';
    std::string detail;
    EXPECT_EQ(Parse(frame, nullptr, &detail), FrameNonzeroFill);
    EXPECT_NE(detail.find("byte 99"), std::string::npos) << detail;

    // The text itself is only what precedes the first zero byte.
    frame = Frame(Text(3, "0", "7"));
    frame[frame.find('\0') + 1] = '7';
    EXPECT_EQ(Parse(frame), FrameNonzeroFill);

    EXPECT_EQ(Parse(std::string(100, 'A')), FrameUnterminated);
    EXPECT_EQ(Parse(Frame(Text(3, "0", "7")).substr(0, 99)), FrameWrongSize);
    EXPECT_EQ(Parse(Frame(Text(3, "0", "7")) + std::string(1, '\0')), FrameWrongSize);
}

TEST(ListenFrame, TheGreetingMustMatchByteForByte) {
    std::string greeting = std::string(GreetingText) + std::string(6, '\0');
    ASSERT_EQ(greeting.size(), 44u);
    auto check = [](const std::string& bytes) {
        std::string detail;
        return CheckGreeting(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                             &detail);
    };
    EXPECT_EQ(check(greeting), FrameOk);
    std::string dirty = greeting;
    dirty[43] = '\x01';
    EXPECT_EQ(check(dirty), FrameBadGreeting);
    std::string other = greeting;
    other[30] = '2';  // VALUE="2023"
    EXPECT_EQ(check(other), FrameBadGreeting);
    EXPECT_EQ(check(greeting.substr(0, 43)), FrameWrongSize);
    // The greeting is not an event frame: the relay never sends VALUE 1023.
    EXPECT_EQ(Parse(Frame(GreetingText)), FrameNoValueMarker);
}

TEST(ListenFrame, ReadsBackEverythingTheRelayFormats) {
    // The relay's own formatter against the client's parser, over the
    // edges of each field and a spread of values between them.
    std::vector<int> edges = {0, 1, -1, 9, 10, -10, 1022, 1024, 32767, -32768, 32768, -32769,
                              65535, INT32_MAX, INT32_MIN, INT32_MAX - 1, INT32_MIN + 1};
    std::mt19937 random(5003);
    for (int i = 0; i < 2000; ++i) edges.push_back(static_cast<int>(random()));
    for (size_t i = 0; i < edges.size(); ++i) {
        int typ = edges[i];
        int id = edges[(i * 7 + 3) % edges.size()];
        int value = edges[(i * 13 + 5) % edges.size()];
        if (value == 1023) continue;
        unsigned char frame[100] = {};
        FormatEvent(reinterpret_cast<char*>(frame), typ, id, value);
        FrameEvent event;
        std::string detail;
        ASSERT_EQ(ParseEventFrame(frame, sizeof frame, &event, &detail), FrameOk)
            << detail << " in " << QuoteBytes(frame, sizeof frame, 100);
        EXPECT_EQ(event.Typ, static_cast<int16_t>(typ));  // TYP travels as 16 bits
        EXPECT_EQ(event.Id, id);
        EXPECT_EQ(event.Value, value);
    }
}

TEST(ListenDescribe, NamesTheChannelAndThePressedButtons) {
    EXPECT_EQ(DescribeEvent({3, 0, 700}), "TYP=3 ID=0 VALUE=700  [axis X/Ry]");
    EXPECT_EQ(DescribeEvent({3, 1, -5}), "TYP=3 ID=1 VALUE=-5  [axis Y/Rz]");
    EXPECT_EQ(DescribeEvent({2, 3, 7}), "TYP=2 ID=3 VALUE=7  [Dial]");
    EXPECT_EQ(DescribeEvent({2, 0, 7}), "TYP=2 ID=0 VALUE=7  [unknown channel]");
    EXPECT_EQ(DescribeEvent({1, 5, 1}), "TYP=1 ID=5 VALUE=1  [buttons 0x0005: 1 3]");
    EXPECT_EQ(DescribeEvent({1, 0, 1}), "TYP=1 ID=0 VALUE=1  [buttons 0x0000: none]");
    // A signed word: -32768 is button 16 alone, -1 all sixteen.
    EXPECT_EQ(DescribeEvent({1, -32768, 1}), "TYP=1 ID=-32768 VALUE=1  [buttons 0x8000: 16]");
    EXPECT_EQ(DescribeEvent({1, -1, 1}),
              "TYP=1 ID=-1 VALUE=1  [buttons 0xFFFF: 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16]");
    EXPECT_EQ(EventJson({3, 0, 700}), "{\"typ\":3,\"id\":0,\"value\":700}");
    EXPECT_EQ(EventJson({1, -32768, 1}), "{\"typ\":1,\"id\":-32768,\"value\":1}");
}

}  // namespace
