// The simulator serves every decoy port however many there are: a search over
// 98 port numbers meets decoys far beyond the first few dozen.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/sim_client.h"

namespace {

const std::string kProgram = QUILLMERE_SIM_PATH;

TEST(DecoyPortsTest, EveryDecoyOfNinetySevenAnswers) {
    std::vector<std::string> args;
    for (int n = 2; n <= 98; ++n) {
        args.push_back("--decoy");
        args.push_back((n % 2 ? "silent:" : "crlf:") + std::to_string(n));
    }
    sim::SimClient client;
    std::string error;
    ASSERT_TRUE(client.Start(kProgram, args, &error)) << error;
    for (int n : {2, 40, 64, 70, 98}) {
        SCOPED_TRACE(n);
        ASSERT_TRUE(client.OpenPort(n));
        EXPECT_EQ(client.Exchange("N#", 2, 1000), "\r\n");
    }
    client.ClosePort();
    ASSERT_TRUE(client.OpenPort(1));
    EXPECT_EQ(client.Exchange("N#", 2, 1000), "\n\r");
    EXPECT_EQ(client.Stop(), 0);
}

}  // namespace
