#include <gtest/gtest.h>

#include <cstdio>

#include "support/isolation.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (!IsolateNetwork()) {
        fprintf(stderr, "note: no network namespace; using the host's port 5003\n");
    }
    return RUN_ALL_TESTS();
}
