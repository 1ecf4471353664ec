#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "Accounts.h"
#include "CommandLine.h"

namespace {

class SimulatorCommandLineTest : public ::testing::Test {
protected:
    bool Parse(const std::vector<std::string>& arguments) {
        commandLine_ = cssim::CommandLine{};
        return cssim::ParseCommandLine(arguments, commandLine_, error_);
    }

    cssim::CommandLine commandLine_;
    std::string error_;
};

TEST_F(SimulatorCommandLineTest, ListenAcceptsOnlyLoopbackAddresses) {
    for (const char* address : {"0.0.0.0", "10.0.0.1", "128.0.0.1", "::", "::2", "localhost", "127.1"}) {
        EXPECT_FALSE(Parse({"--listen", address})) << address;
    }
    ASSERT_TRUE(Parse({"--listen", "127.42.3.4"}));
    EXPECT_EQ(commandLine_.listenAddress, "127.42.3.4");
    ASSERT_TRUE(Parse({"--listen", "::1"}));
    EXPECT_EQ(commandLine_.listenAddress, "::1");
}

TEST_F(SimulatorCommandLineTest, ValuesReachTheOptions) {
    ASSERT_TRUE(Parse({"--page-size=20", "--job-seconds", "0.25", "--older-session-check", "--user", "ops", "--vms",
                       "7", "--numeric-job-ids"}))
        << error_;
    EXPECT_EQ(commandLine_.options.pageSize, 20);
    EXPECT_DOUBLE_EQ(commandLine_.options.jobSeconds, 0.25);
    EXPECT_TRUE(commandLine_.options.olderSessionCheck);
    EXPECT_TRUE(commandLine_.options.numericJobIds);
    EXPECT_EQ(commandLine_.options.user, "ops");
    EXPECT_EQ(commandLine_.machines, 7);
}

TEST_F(SimulatorCommandLineTest, BadValuesAreUsageErrors) {
    EXPECT_FALSE(Parse({"--page-size", "0"}));
    EXPECT_FALSE(Parse({"--vms", "many"}));
    EXPECT_FALSE(Parse({"--job-seconds", "-1"}));
    EXPECT_FALSE(Parse({"--page-size"}));
    EXPECT_FALSE(Parse({"--port", "65536"}));
    EXPECT_FALSE(Parse({"--tls-cert", "server.pem"}));
    EXPECT_FALSE(Parse({"--api-key", "k"}));
    EXPECT_FALSE(Parse({"--bad-login-delay-ms", "-5"}));
    EXPECT_FALSE(Parse({"--vms", "3", "--inventory", "cloud.json"}));
}

TEST_F(SimulatorCommandLineTest, InventoryOptionLoadsTheFile) {
    const std::string path = ::testing::TempDir() + "simulator-inventory-" + std::to_string(getpid()) + ".json";
    {
        std::ofstream file(path);
        file << R"({"zones":[{"id":"11111111-2222-4333-8444-555555555555","name":"lab zone"}]})";
    }
    ASSERT_TRUE(Parse({"--inventory", path})) << error_;
    const bool prepared = cssim::PrepareInventory(commandLine_, error_);
    std::remove(path.c_str());
    ASSERT_TRUE(prepared) << error_;
    ASSERT_EQ(commandLine_.options.inventory.zones.size(), 1u);
    EXPECT_EQ(commandLine_.options.inventory.zones[0]["name"], "lab zone");
    EXPECT_TRUE(commandLine_.options.inventory.virtualmachines.empty());
}

TEST_F(SimulatorCommandLineTest, NewOptionsReachTheOptions) {
    ASSERT_TRUE(Parse({"--port=0", "--tls-cert", "server.pem", "--tls-key", "server.key", "--api-key", "K",
                       "--secret-key=S", "--bad-login-delay-ms", "5", "--session-timeout", "90"}))
        << error_;
    EXPECT_EQ(commandLine_.options.port, 0);
    EXPECT_EQ(commandLine_.options.tlsCertificateFile, "server.pem");
    EXPECT_EQ(commandLine_.options.tlsKeyFile, "server.key");
    EXPECT_EQ(commandLine_.options.apiKey, "K");
    EXPECT_EQ(commandLine_.options.secretKey, "S");
    EXPECT_EQ(commandLine_.options.badLoginDelay, std::chrono::milliseconds(5));
    EXPECT_EQ(commandLine_.options.sessionTimeout, std::chrono::seconds(90));
    ASSERT_TRUE(Parse({}));
    EXPECT_EQ(commandLine_.options.port, 8080);
    EXPECT_EQ(commandLine_.options.badLoginDelay, std::chrono::milliseconds(350));
}

TEST_F(SimulatorCommandLineTest, HelpListsEveryUserWithItsKeys) {
    ASSERT_TRUE(Parse({"--api-key", "admin-key", "--secret-key", "admin-secret", "--password", "pw"}));
    const std::string text = cssim::UsersText(commandLine_);
    EXPECT_NE(text.find("ROOT  admin  pw"), std::string::npos) << text;
    EXPECT_NE(text.find("admin-key"), std::string::npos);
    EXPECT_NE(text.find("admin-secret"), std::string::npos);
    EXPECT_NE(text.find("ROOT/customers/acme  jane  acme-password"), std::string::npos) << text;
    EXPECT_NE(text.find(cssim::DerivedUserKey("secretkey", "a8f3c2e1-9d4b-4c7a-b6e5-0f1e2d3c4b5a")), std::string::npos);
}

}  // namespace
