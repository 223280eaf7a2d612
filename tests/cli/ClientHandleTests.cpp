// Configuring a real client object from the library: the options the user
// gave reach it, and a setting it refuses is named.
#include <gtest/gtest.h>

#include "tools/ftpcli/ClientHandle.h"
#include "tools/ftpcli/NotificationPump.h"

namespace {

Options Local() {
    Options options;
    options.server = "127.0.0.1";
    options.port = 2121;
    return options;
}

}  // namespace

TEST(ClientHandle, AcceptsEverySettingInRange) {
    NotificationPump pump;
    ClientHandle client;
    ASSERT_NE(nullptr, client.get());
    Options options = Local();
    options.rateMbps = 8.0;
    options.blockSize = 65536;
    options.streamMode = 4;
    options.bufferingMode = 1;
    std::string refused = "stale";
    EXPECT_TRUE(client.Configure(options, pump.Window(), &refused));
    EXPECT_EQ("", refused);
}

TEST(ClientHandle, NamesTheRefusedSetting) {
    NotificationPump pump;
    ClientHandle client;
    Options options = Local();
    options.rateMbps = 500.0;  // beyond what the library allows
    std::string refused;
    EXPECT_FALSE(client.Configure(options, pump.Window(), &refused));
    EXPECT_EQ("--rate", refused);

    ClientHandle other;
    Options unsafe = Local();
    unsafe.password = "a\r\nDELE /x";  // would smuggle in a command
    EXPECT_FALSE(other.Configure(unsafe, pump.Window(), &refused));
    EXPECT_EQ("the connection parameters", refused);
}
