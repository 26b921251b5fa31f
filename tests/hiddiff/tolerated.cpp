#include "hiddiff/tolerated.h"

#include <algorithm>

namespace {

const Tolerance kOverfull = {
    "more usages than elements",
    "A variable main item that names more usages than it has elements: Windows "
    "discards the usages it does not need (Microsoft, \"Value capability arrays\" and "
    "\"Button capability arrays\": \"Usages in the report descriptor that are not needed "
    "are discarded\"); Wine 8 gives every usage a cap and subtracts the extra usages from "
    "the item's 16-bit report count, which wraps, so it places all of the item's usages "
    "at wrong bits and reads past the item."};

const Tolerance kWineCapsOverflow = {
    "Wine 8 runs out of room for caps",
    "Wine 8's parser grows its array of caps by half once per main item and refuses the "
    "descriptor (\"HID parser values overflow!\") when one item names more usages than "
    "that; HID 1.11 sets no such limit and Windows takes such descriptors."};

bool Named(const std::vector<UsageQuery>& list, const UsageQuery& q) {
    return std::any_of(list.begin(), list.end(), [&](const UsageQuery& u) {
        return u.page == q.page && u.usage == q.usage;
    });
}

bool CapsOfKind(const std::string& cls, const char* kind) {
    return cls.rfind("caps Number", 0) == 0 && cls.find(kind) != std::string::npos &&
           (cls.find("ValueCaps") != std::string::npos || cls.find("ButtonCaps") != std::string::npos ||
            cls.find("DataIndices") != std::string::npos);
}

}  // namespace

const Tolerance* FindTolerance(const std::string& cls, const DescriptorOutline& outline,
                               const UsageQuery* query) {
    if (cls == "refused by Wine only" && outline.wineCapsOverflow) return &kWineCapsOverflow;
    static const char* const kKinds[3] = {"Input", "Output", "Feature"};
    for (int k = 0; k < 3; ++k) {
        if (outline.overfull[k] && CapsOfKind(cls, kKinds[k])) return &kOverfull;
    }
    if (query && Named(outline.overfullUsages, *query)) return &kOverfull;
    return nullptr;
}
