// dorqin-boxsim's descriptor and recording files: what a file says reaches
// the kernel byte for byte, and a damaged file is refused with the line
// that is wrong, never presented half read.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tools/boxsim/device_file.h"

namespace {

using Bytes = std::vector<unsigned char>;

DescriptorFile Descriptor(const std::string& content) {
    DescriptorFile file;
    std::string error;
    EXPECT_EQ(ReadDescriptorFile(content, &file, &error), 0) << error;
    return file;
}

std::vector<RecordedDevice> Recording(const std::string& content) {
    std::vector<RecordedDevice> devices;
    std::string error;
    EXPECT_EQ(ParseRecording(content, &devices, &error), 0) << error;
    return devices;
}

std::string RecordingError(const std::string& content) {
    std::vector<RecordedDevice> devices;
    std::string error;
    EXPECT_EQ(ParseRecording(content, &devices, &error), -1) << content;
    return error;
}

TEST(BoxsimDescriptorFile, HexTextInEveryWrittenForm) {
    DescriptorFile file = Descriptor(
        "# Joystick, from somewhere\n"
        "05 01 09 04   # Usage Page, Usage\n"
        "0xa1, 0x01,\r\n"
        "0XC0,5\tf\n");
    EXPECT_TRUE(file.Text);
    EXPECT_EQ(file.Bytes, (Bytes{0x05, 0x01, 0x09, 0x04, 0xA1, 0x01, 0xC0, 0x05, 0x0F}));
    EXPECT_TRUE(file.TextError.empty());
}

TEST(BoxsimDescriptorFile, WhatIsNotHexTextIsTakenAsItsBytes) {
    // A binary descriptor: control bytes at once, so no warning either.
    const std::string binary("\x05\x01\x09\x04\xa1\x01\xc0", 7);
    DescriptorFile file = Descriptor(binary);
    EXPECT_FALSE(file.Text);
    EXPECT_EQ(file.Bytes, Bytes(binary.begin(), binary.end()));
    EXPECT_TRUE(file.TextError.empty());

    // Text with a typo is taken as bytes too, but the typo is named.
    file = Descriptor("05 01\n09 0x4g\n");
    EXPECT_FALSE(file.Text);
    EXPECT_EQ(file.Bytes.size(), 14u);
    EXPECT_NE(file.TextError.find("line 2"), std::string::npos) << file.TextError;
    EXPECT_NE(file.TextError.find("0x4g"), std::string::npos) << file.TextError;
    // Three digits are no byte.
    EXPECT_FALSE(Descriptor("05 010").Text);

    DescriptorFile out;
    std::string error;
    EXPECT_EQ(ReadDescriptorFile("# only a comment\n", &out, &error), -1);
    EXPECT_NE(error.find("no bytes"), std::string::npos);
    EXPECT_EQ(ReadDescriptorFile(std::string(BoxsimMaxDescriptor + 1, '\x01'), &out, &error), -1);
    EXPECT_EQ(ReadDescriptorFile(std::string(BoxsimMaxDescriptor, '\x01'), &out, &error), 0);
}

TEST(BoxsimRecording, EveryLineOfAHidRecorderFile) {
    std::vector<RecordedDevice> devices = Recording(
        "# a comment\n"
        "R: 6 05 01 09 04 a1 01\n"
        "N: Some Vendor  Stick\n"
        "P: usb-0000:00:14.0-2/input0\n"
        "I: 18 27c6 e30\n"
        "# ReportID: 1 / X: 3\n"
        "E: 000000.000000 3 01 03 00\n"
        "E: 000012.345678 2 02 ff\n");
    ASSERT_EQ(devices.size(), 1u);
    const RecordedDevice& device = devices[0];
    EXPECT_EQ(device.Number, 0);
    EXPECT_EQ(device.Descriptor, (Bytes{0x05, 0x01, 0x09, 0x04, 0xA1, 0x01}));
    EXPECT_EQ(device.Name, "Some Vendor  Stick");
    EXPECT_EQ(device.Phys, "usb-0000:00:14.0-2/input0");
    EXPECT_TRUE(device.HasIdentity);
    // All three in hex: bus 0x18 is I2C.
    EXPECT_EQ(device.Bus, 0x18);
    EXPECT_EQ(device.Vendor, 0x27C6);
    EXPECT_EQ(device.Product, 0x0E30);
    ASSERT_EQ(device.Events.size(), 2u);
    EXPECT_EQ(device.Events[0].Bytes, (Bytes{0x01, 0x03, 0x00}));
    EXPECT_EQ(device.Events[1].TimeUs, 12345678u);
    EXPECT_EQ(device.Events[1].Bytes, (Bytes{0x02, 0xFF}));
}

TEST(BoxsimRecording, DevicesAndWrappedLines) {
    // D: switches the device that later lines describe, back and forth.
    std::vector<RecordedDevice> devices = Recording(
        "D: 0\n"
        "R: 2 a1 01\n"
        "D: 1\n"
        "R: 5 05 01\n"
        "   09 02\n"
        "c0\n"
        "E: 000000.000100 4 01\n"
        "02 03 04\n"
        "D: 0\n"
        "E: 000000.000200 1 07\n");
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(devices[0].Events.size(), 1u);
    EXPECT_EQ(devices[1].Number, 1);
    EXPECT_EQ(devices[1].Descriptor, (Bytes{0x05, 0x01, 0x09, 0x02, 0xC0}));
    ASSERT_EQ(devices[1].Events.size(), 1u);
    EXPECT_EQ(devices[1].Events[0].Bytes, (Bytes{0x01, 0x02, 0x03, 0x04}));
    EXPECT_FALSE(devices[1].HasIdentity);

    // Numbered from 3 on: no empty device 0 left over.
    devices = Recording("D: 3\nR: 1 c0\n");
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0].Number, 3);
}

TEST(BoxsimRecording, DamagedFilesNameTheLine) {
    const std::string r = "R: 2 a1 01\n";
    const struct {
        std::string Content;
        const char* Reason;  // the whole error, or a part of it
    } damaged[] = {
        // Cut short: the declared length is not there, and the next line is
        // no continuation.
        {"R: 4 a1 01\nN: x\n", "line 1: R: declares 4 bytes, has 2 (the line is cut short)"},
        {r + "E: 000000.000000 3 01 02", "line 2: E: declares 3 bytes, has 2 (the line is cut short)"},
        // More bytes than declared, or bytes after a complete record.
        {r + "E: 000000.000000 1 01 02\n", "line 2: E: declares 1 bytes, has 2"},
        {"R: 1 a1\n   01\n", "line 2: not a recording line"},
        // Bad hex, and bytes not written as two digits.
        {r + "E: 000000.000000 2 01 0g\n", "line 2: \"0g\" is not a hex byte"},
        {r + "E: 000000.000000 2 01 1\n", "\"1\" is not a hex byte"},
        {"R: 2 a1 101\n", "\"101\" is not a hex byte"},
        // Six digits after the point, or the time is ambiguous.
        {r + "E: 000001.5 1 01\n", "line 2: E: takes a time"},
        // Lengths: decimal, at least one byte, no more than uhid takes.
        {r + "E: 000000.000000 0\n", "not a report length"},
        {r + "E: 000000.000000 4097 01\n", "(1 to 4096)"},
        {"R: 4097 01\n", "(1 to 4096)"},
        {"R:\n", "line 1: R: takes a length"},
        // Identity, device numbers, unknown and stray lines.
        {r + "I: 3 046d\n", "line 2: I: takes bus"},
        {r + "I: 3 1046d c630\n", "line 2: I: takes bus"},
        {"D: one\n", "line 1: D: takes one device number"},
        {r + "X: 1\n", "line 2: unknown line \"X:\""},
        {r + "E 000000.000000 1 01\n", "line 2: not a recording line"},
        {r + r, "line 2: a second R:"},
        // A device that was never described cannot be presented.
        {"N: stick\nE: 000000.000000 1 01\n", "device 0 has no R: line (its descriptor)"},
        {r + "D: 2\nE: 000000.000000 1 01\n", "device 2 has no R: line (its descriptor)"},
    };
    for (const auto& file : damaged) {
        std::string error = RecordingError(file.Content);
        EXPECT_NE(error.find(file.Reason), std::string::npos) << file.Content << "\n" << error;
    }
    // Exactly this, not a message that merely contains it.
    EXPECT_EQ(RecordingError(r + "E: 000000.000000 1 01 02\n"), "line 2: E: declares 1 bytes, has 2");
}

std::string ReadSourceFile(const std::string& path) {
    std::ifstream in(std::string(DORQIN_SOURCE_DIR) + "/" + path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

// The VM test's recordings: what its expected streams were worked out from.
TEST(BoxsimRecording, TheVmScenariosRecordingsHoldWhatTheirExpectationsAssume) {
    std::vector<RecordedDevice> single = Recording(ReadSourceFile("tests/vm/scenarios/replay.rec"));
    std::vector<RecordedDevice> composite =
        Recording(ReadSourceFile("tests/vm/scenarios/composite.rec"));
    ASSERT_EQ(single.size(), 1u);
    ASSERT_EQ(composite.size(), 1u);
    // The stick's descriptor as the kernel lists it.
    const Bytes& stick = single[0].Descriptor;
    ASSERT_EQ(stick.size(), 232u);
    EXPECT_EQ(stick[177], 0xEF);
    for (const RecordedEvent& event : single[0].Events) {
        ASSERT_EQ(event.Bytes.size(), 64u);
        ASSERT_EQ(event.Bytes[0], 1);
    }
    ASSERT_EQ(single[0].Events.size(), 6u);

    // The composite is the corpus's real three-collection device, byte for
    // byte; its joystick's reports (ID 1) are 6 bytes, the mouse's (3) 4
    // and the keyboard's (2) 12.
    const Bytes& composed = composite[0].Descriptor;
    ASSERT_EQ(composed.size(), 185u);
    EXPECT_EQ(Bytes(composed.begin(), composed.begin() + 6), (Bytes{0x05, 0x01, 0x09, 0x02, 0xA1, 0x01}));
    int joystickReports = 0;
    for (const RecordedEvent& event : composite[0].Events) {
        const uint8_t id = event.Bytes[0];
        ASSERT_TRUE(id >= 1 && id <= 3);
        EXPECT_EQ(event.Bytes.size(), id == 1 ? 6u : (id == 3 ? 4u : 12u));
        joystickReports += id == 1;
    }
    EXPECT_EQ(joystickReports, 4);
}

// The program itself refuses what it cannot present, before it needs
// /dev/uhid, with exit status 2.
struct ProgramRun {
    int Status;
    std::string Output;
};

ProgramRun RunBoxsim(const std::string& arguments) {
    std::string command = std::string(DORQIN_BOXSIM_PATH) + " " + arguments + " 2>&1 </dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    ProgramRun run = {-1, ""};
    if (!pipe) return run;
    char chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, pipe)) > 0) run.Output.append(chunk, got);
    int status = pclose(pipe);
    run.Status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

TEST(BoxsimProgram, RefusesFilesAndOptionsItCannotPresent) {
    char path[] = "/tmp/boxsim-file-test-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    const std::string truncated = "R: 6 05 01 09 04\nE: 000000.000000 1 01\n";
    ASSERT_EQ(write(fd, truncated.data(), truncated.size()), ssize_t(truncated.size()));
    close(fd);

    ProgramRun run = RunBoxsim(std::string("--replay ") + path);
    EXPECT_EQ(run.Status, 2);
    EXPECT_NE(run.Output.find("line 1: R: declares 6 bytes, has 4"), std::string::npos)
        << run.Output;

    run = RunBoxsim(std::string("--descriptor ") + path + " --demo");
    EXPECT_EQ(run.Status, 2);
    EXPECT_NE(run.Output.find("--demo"), std::string::npos) << run.Output;
    run = RunBoxsim(std::string("--descriptor ") + path + " --id recorded");
    EXPECT_EQ(run.Status, 2);
    run = RunBoxsim(std::string("--descriptor ") + path + " --id 46d:c63g");
    EXPECT_EQ(run.Status, 2);
    EXPECT_NE(run.Output.find("--id takes"), std::string::npos) << run.Output;
    run = RunBoxsim("--replay " + std::string(DORQIN_SOURCE_DIR) +
                    "/tests/vm/scenarios/replay.rec --device 1");
    EXPECT_EQ(run.Status, 2);
    EXPECT_NE(run.Output.find("no device 1"), std::string::npos) << run.Output;
    run = RunBoxsim("--replay /nonexistent/recording");
    EXPECT_EQ(run.Status, 2);
    unlink(path);
}

}  // namespace
