#include <gtest/gtest.h>

#include "common/console.h"
#include "support/std_streams.h"

TEST(PauseForInput, TakesOneCharacterAndLeavesTheRestOfTheLine) {
    FedStdin input("ab\ncd\n");
    PauseForInput();
    EXPECT_EQ(FedStdin::Rest(), "b\ncd\n");
}

TEST(PauseForInput, TakesWindowsLineEndAsOneCharacter) {
    FedStdin input("\r\nnext");
    PauseForInput();
    EXPECT_EQ(FedStdin::Rest(), "next");
}

TEST(PauseForInput, ReturnsAtOnceAtTheEndOfInput) {
    FedStdin input("");
    PauseForInput();
    PauseForInput();
    SUCCEED();
}

TEST(Console, PrintsTextWithoutAddingOrTranslatingAnything) {
    CapturedStdout out;
    ConsolePrint("\nEingabe abgeschlossen.");
    ConsolePrintf("Verbindung erhalten von: %s\n", "10.1.2.3");
    EXPECT_EQ(out.Text(), "\nEingabe abgeschlossen.Verbindung erhalten von: 10.1.2.3\n");
}
