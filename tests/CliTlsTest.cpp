// End-to-end tests of cloudstack-cli over HTTPS: a TLS listener in this process with a certificate
// made at test time, a CA file to trust it, and what the client says when it cannot.

#include <string>

#include "CliHarness.h"
#include "RawListener.h"
#include "TestCertificates.h"

namespace {

using namespace clitest;

constexpr int kTlsPort = 8443;

// Answers a client that signs its requests: the key check and the zone list.
cstest::RawAnswer Answer(const cstest::RawRequest& request) {
    std::string body = R"({"errorresponse":{"uuidList":[],"errorcode":432,"errortext":"unknown"}})";
    int status = 432;
    if (Contains(request.target, "command=listCapabilities")) {
        status = 200;
        body = R"({"listcapabilitiesresponse":{"capability":{"cloudstackversion":"4.20.1.0"}}})";
    } else if (Contains(request.target, "command=listZones")) {
        status = 200;
        body = cstest::Fixture("listZones.json");
    }
    cstest::RawAnswer answer;
    answer.bytes = cstest::FormatResponse(status, {{"Content-Type", "application/json;charset=UTF-8"}}, body);
    return answer;
}

class CliTlsTest : public CliProcessTest {
protected:
    void SetUp() override {
        cstest::ListenOptions options;
        options.port = kTlsPort;
        options.tls = certificates_.Server();
        ASSERT_TRUE(listener_.Start(address_, options));
    }
    void TearDown() override { listener_.Stop(); }

    RunResult Zones(const std::vector<std::string>& extra) {
        std::vector<std::string> args = {"zones", "--server", "https://" + address_ + ":8443/client/api"};
        args.insert(args.end(), extra.begin(), extra.end());
        return CliWith({{"CLOUDSTACK_API_KEY", "key"}, {"CLOUDSTACK_SECRET_KEY", "secret"}}, args);
    }

    cstest::TestCertificates certificates_{"", cstest::ProcessLoopbackAddress()};
    cstest::RawListener listener_{Answer};
};

TEST_F(CliTlsTest, CaFileTrustsTheServerAndWithoutItTheLineSaysWhy) {
    RunResult run = Zones({"--ca-file", certificates_.Ca().certificateFile});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_TRUE(Contains(run.out, "zone-eu1")) << run.out;

    run = Zones({});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    ASSERT_EQ(Lines(run.err).size(), 1u) << run.err;
    EXPECT_EQ(run.err.rfind("cloudstack-cli: cannot connect to " + address_ + ":8443: ", 0), 0u) << run.err;
}

TEST_F(CliTlsTest, InsecureSkipsTheCheckAndWarns) {
    const RunResult run = Zones({"--insecure"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(Contains(run.out, "zone-eu1")) << run.out;
    ASSERT_EQ(Lines(run.err).size(), 1u) << run.err;
    EXPECT_EQ(run.err.rfind("cloudstack-cli: warning: --insecure", 0), 0u) << run.err;
}

}  // namespace

namespace {

// The simulator itself over HTTPS on a port of its own, with a key pair of the test's choosing.
class CliSimulatorTlsTest : public clitest::CliTest {
protected:
    std::vector<std::string> SimulatorArguments() override {
        return {"--port",
                "8443",
                "--tls-cert",
                certificates_.Server().certificateFile,
                "--tls-key",
                certificates_.Server().privateKeyFile,
                "--api-key",
                "test-key",
                "--secret-key",
                "test-secret",
                "--bad-login-delay-ms",
                "0"};
    }
    std::string SimulatorUrl() const override { return Endpoint(); }
    std::string Endpoint() const { return "https://" + address_ + ":8443/client/api"; }

    cstest::TestCertificates certificates_{"", cstest::ProcessLoopbackAddress()};
};

TEST_F(CliSimulatorTlsTest, AKeyPairListsStopsAndStartsOverHttps) {
    const std::map<std::string, std::string> env = {{"CLOUDSTACK_ENDPOINT", Endpoint()},
                                                    {"CLOUDSTACK_API_KEY", "test-key"},
                                                    {"CLOUDSTACK_SECRET_KEY", "test-secret"}};
    const std::string ca = certificates_.Ca().certificateFile;
    clitest::RunResult run = CliWith(env, {"vms", "--ca-file", ca});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(clitest::Contains(run.out, "web-01")) << run.out;
    run = CliWith(env, {"stop", "--name", "web-01", "--ca-file", ca});
    EXPECT_EQ(run.status, 0) << run.err;
    run = CliWith(env, {"start", "--name", "web-01", "--ca-file", ca});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "web-01 started.\n");
}

TEST_F(CliSimulatorTlsTest, APasswordInASubdomainListsThatAccountsMachines) {
    const std::map<std::string, std::string> env = {{"CLOUDSTACK_PASSWORD", "acme-password"}};
    const clitest::RunResult run =
        CliWith(env, {"vms", "--json", "--server", Endpoint(), "--user", "jane", "--domain", "ROOT/customers/acme",
                      "--ca-file", certificates_.Ca().certificateFile});
    ASSERT_EQ(run.status, 0) << run.err;
    const clitest::Json vms = clitest::Json::parse(run.out, nullptr, false);
    ASSERT_TRUE(vms.is_array()) << run.out;
    ASSERT_FALSE(vms.empty());
    for (const auto& vm : vms) EXPECT_EQ(vm.value("account", ""), "acme") << vm.dump();
}

}  // namespace
