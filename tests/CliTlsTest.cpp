// End-to-end tests of cloudstack-cli over HTTPS: a TLS listener in this process with a certificate
// made at test time, a CA file to trust it, and what the client says when it cannot; a proxy on the
// way there; a listener that demands a client certificate.

#include <sys/stat.h>

#include <string>

#include "CliHarness.h"
#include "RawListener.h"
#include "TestCertificates.h"
#include "TestProxy.h"

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
    void SetUp() override { ASSERT_TRUE(listener_.Start(address_, ListenerOptions())); }

    // The listener's options: TLS with the test CA's server certificate.
    virtual cstest::ListenOptions ListenerOptions() {
        cstest::ListenOptions options;
        options.port = kTlsPort;
        options.tls = certificates_.Server();
        return options;
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

TEST_F(CliTlsTest, HttpsProxyFromTheEnvironmentCarriesTheRequestsThroughATunnel) {
    cstest::TestProxy proxy;
    ASSERT_TRUE(proxy.Start());
    const std::string server = "https://" + address_ + ":8443/client/api";
    std::size_t tunnels = 0;
    for (const char* name : {"https_proxy", "HTTPS_PROXY", "all_proxy"}) {
        SCOPED_TRACE(name);
        const RunResult run =
            CliWith({{"CLOUDSTACK_API_KEY", "key"}, {"CLOUDSTACK_SECRET_KEY", "secret"}, {name, proxy.Url()}},
                    {"zones", "--server", server, "--ca-file", certificates_.Ca().certificateFile});
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_TRUE(Contains(run.out, "zone-eu1")) << run.out;
        EXPECT_EQ(proxy.Count("CONNECT"), ++tunnels);
        EXPECT_EQ(proxy.Passages().back().target, address_ + ":8443");
    }
    const RunResult run = CliWith({{"CLOUDSTACK_API_KEY", "key"},
                                   {"CLOUDSTACK_SECRET_KEY", "secret"},
                                   {"https_proxy", proxy.Url()},
                                   {"no_proxy", address_}},
                                  {"zones", "--server", server, "--ca-file", certificates_.Ca().certificateFile});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(proxy.Passages().size(), tunnels) << "no_proxy names the server";
}

// The listener demands a certificate that the test CA signed.
class CliMutualTlsTest : public CliTlsTest {
protected:
    cstest::ListenOptions ListenerOptions() override {
        cstest::ListenOptions options = CliTlsTest::ListenerOptions();
        options.clientCaPem = certificates_.Ca().certificatePem;
        return options;
    }

    void SetUp() override {
        CliTlsTest::SetUp();
        // A key is held to the rules of a password file: readable by its owner alone.
        ASSERT_EQ(chmod(certificates_.Client().privateKeyFile.c_str(), 0600), 0);
    }

    std::string Config(const std::string& name, const std::string& lines) {
        return WriteFile(name, "[cloudstack]\nendpoint = https://" + address_ +
                                   ":8443/client/api\nkey = key\nsecret = secret\n" + lines);
    }
};

TEST_F(CliMutualTlsTest, TheClientCertificateComesFromTheCommandLineOrTheConfigFile) {
    const std::string ca = certificates_.Ca().certificateFile;
    const cstest::CertificateFiles& client = certificates_.Client();
    RunResult run = Zones({"--ca-file", ca});
    EXPECT_EQ(run.status, 1);
    ASSERT_EQ(Lines(run.err).size(), 1u) << run.err;
    EXPECT_TRUE(Contains(run.err, "the server demands a client certificate and none was given")) << run.err;

    run = Zones({"--ca-file", ca, "--cert", client.certificateFile, "--cert-key", client.privateKeyFile});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(Contains(run.out, "zone-eu1")) << run.out;

    // The config file's cert and cert_key, with verify naming the CA file.
    const std::string certificateLines = "cert = " + client.certificateFile + "\ncert_key = " + client.privateKeyFile;
    run = CliWith({{"CLOUDSTACK_CONFIG", Config("mtls.ini", certificateLines + "\nverify = " + ca + "\n")}}, {"zones"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_TRUE(Contains(run.out, "zone-eu1")) << run.out;
    // verify = false trusts any server, and warns as --insecure does.
    run = CliWith({{"CLOUDSTACK_CONFIG", Config("insecure.ini", certificateLines + "\nverify = False\n")}}, {"zones"});
    EXPECT_EQ(run.status, 0) << run.err;
    ASSERT_EQ(Lines(run.err).size(), 1u) << run.err;
    EXPECT_EQ(run.err.rfind("cloudstack-cli: warning: verify = False in the config file: the server's certificate is "
                            "not verified",
                            0),
              0u)
        << run.err;

    // What the client refuses before anything is sent.
    const std::string missing = certificates_.Directory() + "/missing.pem";
    const std::string openKey = WriteFile("open-key.pem", client.privateKeyPem);
    ASSERT_EQ(chmod(openKey.c_str(), 0644), 0);
    const struct {
        std::vector<std::string> args;
        std::string error;
    } refusals[] = {
        {{"--cert", client.certificateFile, "--cert-key", missing},
         "cannot read the client key file '" + missing + "': No such file"},
        {{"--cert", missing, "--cert-key", client.privateKeyFile},
         "cannot read the client certificate file '" + missing + "': No such file"},
        {{"--cert", client.certificateFile, "--cert-key", openKey},
         "permissions 0644 for '" + openKey + "' are too open"},
        {{"--cert-key", client.privateKeyFile}, "--cert-key needs --cert"},
    };
    for (const auto& refusal : refusals) {
        std::vector<std::string> args = {"--ca-file", ca};
        args.insert(args.end(), refusal.args.begin(), refusal.args.end());
        run = Zones(args);
        EXPECT_EQ(run.status, 2) << run.err;
        ASSERT_EQ(Lines(run.err).size(), 1u) << run.err;
        EXPECT_TRUE(Contains(run.err, refusal.error)) << run.err;
    }
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
