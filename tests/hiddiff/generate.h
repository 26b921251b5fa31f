// Seeded report descriptors shaped like those of real input devices, and
// reports for them: the generated half of the differential test's inputs.
#pragma once

#include <cstdint>

#include "hiddiff/items.h"

// The same seed gives the same descriptor on every machine (the generator
// uses its own integer mixer, not the standard library's distributions).
Bytes GenerateDescriptor(uint64_t seed);

// Reports for each input report ID of each top-level collection, random
// bytes behind the ID, as long as the report is (sometimes shorter or
// longer); a few with an ID that the collection does not declare.
struct GeneratedReport {
    int collection;
    Bytes bytes;
};
std::vector<GeneratedReport> GenerateReports(uint64_t seed, const DescriptorOutline& outline);
