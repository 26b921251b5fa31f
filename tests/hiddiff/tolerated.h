// Differences between our layer and Wine's that are known and explained:
// each class with the evidence for why ours is right (what Windows does)
// or why the case cannot be compared.
#pragma once

#include <string>

#include "hiddiff/items.h"

struct Tolerance {
    const char* name;
    const char* evidence;
};

// The tolerance that explains a difference of class cls in a case with
// this outline, for the usage asked about where there was one; nullptr
// when nothing does.
const Tolerance* FindTolerance(const std::string& cls, const DescriptorOutline& outline,
                               const UsageQuery* query);
