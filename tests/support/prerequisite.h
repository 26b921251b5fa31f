// What a test needs from the machine (root for namespaces, tmux, ...) and
// does not find there. In a contributor's plain ctest run such a test is
// skipped, saying what is missing; where the run asks for everything
// (./dev test, and so CI, set DORQIN_REQUIRE_PREREQUISITES) it fails, so
// that nothing is skipped silently there. The shell tests do the same
// through tests/support/prerequisites.sh.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "support/isolation.h"

// Ends the test (in its body or SetUp) as skipped or failed.
#define MISSING_PREREQUISITE(what)                                                    \
    do {                                                                              \
        const std::string dorqin_missing = (what);                                    \
        if (PrerequisitesRequired())                                                  \
            FAIL() << "prerequisite missing, and DORQIN_REQUIRE_PREREQUISITES is set: " \
                   << dorqin_missing;                                                 \
        const ::testing::TestInfo* dorqin_test =                                      \
            ::testing::UnitTest::GetInstance()->current_test_info();                  \
        ListSkipped((std::string(dorqin_test->test_suite_name()) + "." +              \
                     dorqin_test->name()).c_str(),                                    \
                    dorqin_missing.c_str());                                          \
        GTEST_SKIP() << "prerequisite missing: " << dorqin_missing;                   \
    } while (0)
