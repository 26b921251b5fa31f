// The tiers of the suite: a test whose prerequisite is missing is skipped
// in a plain ctest run and listed with its reason, and fails where
// DORQIN_REQUIRE_PREREQUISITES is set (./dev test), for the C++ tests and
// for the scripts alike. Were the strict side lost, CI would pass with
// the guest and Wine tests skipped.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "support/prerequisite.h"

namespace {

std::string ReadAll(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class Prerequisites : public ::testing::Test {
protected:
    void SetUp() override {
        char dir[] = "/tmp/dorqin-prerequisite-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        list_ = dir_ + "/skipped";
        setenv("DORQIN_SKIPPED_LIST", list_.c_str(), 1);
        // ./dev test runs this with every prerequisite required.
        const char* required = getenv("DORQIN_REQUIRE_PREREQUISITES");
        if (required) required_ = required;
        unsetenv("DORQIN_REQUIRE_PREREQUISITES");
    }
    void TearDown() override {
        unsetenv("DORQIN_SKIPPED_LIST");
        if (required_.empty()) unsetenv("DORQIN_REQUIRE_PREREQUISITES");
        else setenv("DORQIN_REQUIRE_PREREQUISITES", required_.c_str(), 1);
        unlink(list_.c_str());
        rmdir(dir_.c_str());
    }
    // The shell helper's verdict on a program that no machine has: the
    // script's exit status.
    int ScriptStatus() {
        std::string command = "DORQIN_TEST_NAME=script_test bash -c '. " DORQIN_SOURCE_DIR
                              "/tests/support/prerequisites.sh; "
                              "require_program no-such-program-here no-such-package; exit 0' "
                              "2>/dev/null";
        int status = system(command.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string dir_, list_, required_;
};

// What MISSING_PREREQUISITE reported, caught before it reaches this test.
void Report(::testing::TestPartResultArray* results) {
    ::testing::ScopedFakeTestPartResultReporter reporter(
        ::testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD, results);
    [] { MISSING_PREREQUISITE("tmux (Debian package tmux)"); }();
}

TEST_F(Prerequisites, AMissingOneIsSkippedAndListedInAPlainRun) {
    ::testing::TestPartResultArray results;
    Report(&results);
    ASSERT_EQ(results.size(), 1);
    EXPECT_TRUE(results.GetTestPartResult(0).skipped());
    EXPECT_NE(std::string(results.GetTestPartResult(0).message()).find("tmux"), std::string::npos);
    EXPECT_EQ(ScriptStatus(), 77);  // CTest's SKIP_RETURN_CODE
    EXPECT_EQ(ReadAll(list_),
              "Prerequisites.AMissingOneIsSkippedAndListedInAPlainRun: tmux (Debian package tmux)\n"
              "script_test: no-such-program-here (Debian package no-such-package)\n");
}

TEST_F(Prerequisites, AMissingOneFailsWhereEveryPrerequisiteIsRequired) {
    setenv("DORQIN_REQUIRE_PREREQUISITES", "1", 1);
    ::testing::TestPartResultArray results;
    Report(&results);
    ASSERT_EQ(results.size(), 1);
    EXPECT_TRUE(results.GetTestPartResult(0).fatally_failed());
    EXPECT_NE(std::string(results.GetTestPartResult(0).message()).find("tmux"), std::string::npos);
    EXPECT_EQ(ScriptStatus(), 1);
    EXPECT_EQ(MissingPrerequisite("bench.smoke", "root"), 1);
    // Nothing is listed as skipped: nothing was.
    EXPECT_EQ(ReadAll(list_), "");
}

}  // namespace
