// The files dorqin-boxsim presents a foreign device from: a report
// descriptor (hex text or raw bytes), and a recording in the text format
// that hid-recorder writes and hid-replay reads. Pure functions over the
// file's content, so that every fault in a file is found without a kernel.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The kernel's limit on a report descriptor (and uhid's room for one).
constexpr size_t BoxsimMaxDescriptor = 4096;
// uhid's room for one input report.
constexpr size_t BoxsimMaxReport = 4096;

struct DescriptorFile {
    std::vector<unsigned char> Bytes;
    bool Text;              // the content parsed as hex text
    std::string TextError;  // taken as binary, but looked like text: why the text did not parse
};

// Reads a descriptor file's content: hex text ('#' comments; tokens of one
// or two hex digits, optionally 0x-prefixed, between whitespace or commas),
// or, when it does not parse as that, the raw bytes. Returns 0, or -1 with
// an English reason in *error when there are no bytes or more than
// BoxsimMaxDescriptor.
int ReadDescriptorFile(const std::string& content, DescriptorFile* out, std::string* error);

struct RecordedEvent {
    uint64_t TimeUs;  // as recorded, not yet relative to the first event
    std::vector<unsigned char> Bytes;
};

struct RecordedDevice {
    int Number;  // its D: number; 0 in a recording without D: lines
    std::string Name;
    std::string Phys;
    bool HasIdentity;  // an I: line was there
    uint16_t Bus;
    uint16_t Vendor;
    uint16_t Product;
    std::vector<unsigned char> Descriptor;
    std::vector<RecordedEvent> Events;
};

// Parses a recording: "D: n" selects the device the following lines
// describe, "R: len bytes" its descriptor, "N:" its name, "P:" its physical
// path, "I: bus vendor product" (hex) its identity, "E: sec.usec len bytes"
// one input report; '#' lines are comments. Bytes are two hex digits each;
// an R: or E: line cut short may go on in lines of bytes alone (as mail
// wraps them). Returns 0 with every device in *devices (each has a
// descriptor), or -1 with "line N: reason" in *error.
int ParseRecording(const std::string& content, std::vector<RecordedDevice>* devices,
                   std::string* error);
