// A fake hidraw tree that the POSIX layer enumerates instead of the real
// one for as long as the fixture lives, and a clean BoxState around it.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "box/box.h"
#include "platform/posix/device_roots.h"
#include "support/fake_hidraw.h"

class FakeBoxTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(tree_.ok());
        ASSERT_TRUE(SetHidDeviceRoots(tree_.HidrawDir().c_str(), tree_.DevDir().c_str()));
    }

    void TearDown() override {
        CloseBox();
        free(BoxState.InputReport);
        BoxState.InputReport = nullptr;
        BoxState.InputReportLength = 0;
        SetHidDeviceRoots(nullptr, nullptr);
        SetHidEnumerationFault(0, 0);
    }

    // How many descriptors of this process are open on the node.
    int OpenCount(const std::string& name) const {
        const auto paths = OpenPaths();
        return static_cast<int>(std::count(paths.begin(), paths.end(), tree_.NodePath(name)));
    }

    // How many descriptors of this process are open anywhere in the tree.
    int OpenInTree() const {
        int n = 0;
        for (const std::string& path : OpenPaths()) n += path.rfind(tree_.DevDir(), 0) == 0;
        return n;
    }

    static bool BoxHoldsNothing() {
        return BoxState.ReadHandle == INVALID_HANDLE_VALUE &&
               BoxState.SecondHandle == INVALID_HANDLE_VALUE && BoxState.PreparsedData == nullptr &&
               BoxState.Attributes.VendorID == 0 && BoxState.Caps.UsagePage == 0;
    }

    FakeHidTree tree_;
};
