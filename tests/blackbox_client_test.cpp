// The relay's own clients through the real binary with a box present
// (support/relaying_box.h): dorqin-listen and the Python example in
// examples/ print the same for the same reports.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/client_process.h"
#include "support/proc_stats.h"
#include "support/relaying_box.h"

namespace {

const std::vector<std::string> DorqinListen = {DORQIN_LISTEN_PATH};
const std::vector<std::string> Example = {DORQIN_PYTHON, DORQIN_EXAMPLE_CLIENT};

class ClientThroughTheRelay : public RelayWithDevices {
protected:
    // One whole run with command as the relay's client: the box sends a
    // report of every kind (an X of 1023, which is dropped, and one the
    // relay ignores among them), the relay echoes each event, Enter ends
    // the run and with it the client's stream.
    ClientRun Run(const std::vector<std::string>& command, std::vector<std::string> arguments) {
        ClientRun client;
        StartRelay(&relay_);
        // The client does not retry, and a probe would be the relay's one client.
        for (int waited = 0; !PortListening(kRelayPort) && waited < Scaled(10000); waited += 10)
            usleep(10000);
        arguments.push_back("127.0.0.1");
        arguments.push_back(std::to_string(kRelayPort));
        EXPECT_TRUE(StartClient(&client, command, arguments));
        EXPECT_TRUE(WaitForConsole(&relay_, kBoxFoundConsole, Scaled(10000))) << relay_.console;
        int box = -1;
        for (int waited = 0; box < 0 && waited < Scaled(10000); waited += 10) {
            box = open(tree_.NodePath("hidraw0").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (box < 0) usleep(10000);
        }
        EXPECT_GE(box, 0) << "the relay never opened the box";
        for (const Bytes& report :
             {Report({0x01, 0x05, 0x00}), Report({0x01, 0x00, 0x80}),
              Report({0x02, 0xBC, 0x02, 0x00, 0x02}), Report({0x07, 0x01}),
              Report({0x03, 0x10, 0x00, 0x11, 0x00}), Report({0x02, 0xFF, 0x03, 0x00, 0x00}),
              Report({0x04, 0x01, 0x00, 0x02, 0x00}), Report({0x05, 0x07, 0x00, 0xFB, 0xFF})}) {
            EXPECT_EQ(write(box, report.data(), report.size()), ssize_t(report.size()));
        }
        std::string echo;
        for (const std::string& event :
             {Event(1, 5, 1), Event(1, -32768, 1), Event(3, 0, 700), Event(3, 1, 512),
              Event(3, 2, 16), Event(3, 3, 17), Event(3, 1, 0), Event(3, 0, 1), Event(3, 1, 2),
              Event(2, 2, 7), Event(2, 3, -5)}) {
            echo += event + "\n";
        }
        EXPECT_TRUE(WaitForConsole(&relay_, kBoxFoundConsole + echo, Scaled(10000)))
            << relay_.console;
        EXPECT_TRUE(Type(&relay_, "\n"));
        EXPECT_TRUE(WaitForExit(&relay_, Scaled(10000)));
        EXPECT_TRUE(CollectClient(&client, "", Scaled(10000))) << command[0] << " did not end";
        KillClient(&client);
        if (box >= 0) close(box);
        StopRelay(&relay_);
        relay_ = RelayProcess();
        return client;
    }
};

TEST_F(ClientThroughTheRelay, ThePythonExamplePrintsWhatDorqinListenPrints) {
    ASSERT_TRUE(tree_.AddDevice(0, 0x046D, 0xC630, BoxDescriptor()));
    for (const std::vector<std::string>& mode :
         {std::vector<std::string>{}, std::vector<std::string>{"--json"}}) {
        const std::string what = mode.empty() ? "plain" : "--json";
        ClientRun reference = Run(DorqinListen, mode);
        EXPECT_EQ(reference.Status, 0) << what << ": " << reference.Stderr;
        EXPECT_EQ(std::count(reference.Stdout.begin(), reference.Stdout.end(), '\n'), 11) << what;
        ClientRun example = Run(Example, mode);
        EXPECT_EQ(example.Status, 0) << what << ": " << example.Stderr;
        EXPECT_EQ(example.Stdout, reference.Stdout) << what;
        EXPECT_EQ(example.Stderr, "") << what;
    }
}

}  // namespace
