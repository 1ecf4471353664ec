// A host program's whole session against the simulator over HTTPS on a port of its own: once
// with an API key pair, once with the password of a user in a subdomain, once through a proxy;
// and a server behind mutual TLS.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "CloudStackWrapper.h"
#include "LoopbackAddress.h"
#include "Simulator.h"
#include "SleepRecorder.h"
#include "TestCertificates.h"
#include "TestProxy.h"
#include "TestServer.h"

using namespace CloudStackSDKWrapper;

namespace {

constexpr int kPort = 8443;

class EndToEndTlsTest : public ::testing::Test {
protected:
    void SetUp() override {
        cssim::SimulatorOptions options;
        options.port = kPort;
        options.tlsCertificateFile = certificates_.Server().certificateFile;
        options.tlsKeyFile = certificates_.Server().privateKeyFile;
        options.badLoginDelay = std::chrono::milliseconds(0);
        simulator_ = std::make_unique<cssim::Simulator>(std::move(options));
        ASSERT_TRUE(simulator_->Start(address_));
        wrapper_->SetCaFile(certificates_.Ca().certificateFile);
    }
    // The client's kept-alive connection goes first, so the server has nothing to wait for.
    void TearDown() override {
        wrapper_.reset();
        simulator_->Stop();
    }

    cssim::Simulator::Credentials User(const std::string& name) const {
        for (const auto& user : simulator_->Users()) {
            if (user.user == name) return user;
        }
        ADD_FAILURE() << "the simulator has no user " << name;
        return {};
    }

    std::string Endpoint() const { return "https://" + address_ + ":" + std::to_string(kPort); }

    // Lists, lookups and a stop and start by name with the job wait; every call must succeed.
    void WholeSession(const std::string& machine) {
        std::vector<SZoneInfoLib> zones;
        std::vector<SClusterInfoLib> clusters;
        std::vector<SHostInfoLib> hosts;
        std::vector<SVMInfoLib> vms;
        ASSERT_TRUE(wrapper_->GetZoneInfoList(zones, 0)) << wrapper_->GetLastError().strErrorMessage;
        ASSERT_TRUE(wrapper_->GetClusterInfoList(clusters, 0)) << wrapper_->GetLastError().strErrorMessage;
        ASSERT_TRUE(wrapper_->GetHostInfoList(hosts, 0)) << wrapper_->GetLastError().strErrorMessage;
        ASSERT_TRUE(wrapper_->GetVMInfoList(vms, 0)) << wrapper_->GetLastError().strErrorMessage;
        EXPECT_FALSE(zones.empty());
        SVMInfoLib vm;
        ASSERT_TRUE(wrapper_->GetVMInfo(machine, "", vm, 0)) << wrapper_->GetLastError().strErrorMessage;
        EXPECT_EQ(vm.strName, machine);
        ASSERT_TRUE(wrapper_->StopVM(machine, "")) << wrapper_->GetLastError().strErrorMessage;
        EXPECT_EQ(simulator_->MachineState(machine), "Stopped");
        ASSERT_TRUE(wrapper_->StartVM(machine, "")) << wrapper_->GetLastError().strErrorMessage;
        EXPECT_EQ(simulator_->MachineState(machine), "Running");
    }

    const std::string address_ = cstest::ProcessLoopbackAddress();
    cstest::TestCertificates certificates_{"", address_};
    cstest::SleepRecorder sleeps_;
    std::unique_ptr<cssim::Simulator> simulator_;
    std::unique_ptr<CCloudStackWrapper> wrapper_ = std::make_unique<CCloudStackWrapper>();
};

TEST_F(EndToEndTlsTest, AKeyPairCarriesAWholeSession) {
    const auto admin = User("admin");
    ASSERT_TRUE(wrapper_->ConnectWithApiKey(Endpoint(), admin.apiKey, admin.secretKey))
        << wrapper_->GetLastError().strErrorMessage;
    WholeSession("web-01");
    // A signed POST of any command: the signature covers the URL's parameters and the form body's.
    SVMInfoLib vm;
    ASSERT_TRUE(wrapper_->GetVMInfo("web-01", "", vm, 0));
    std::string json;
    ASSERT_TRUE(wrapper_->CallAndWait("rebootVirtualMachine", {{"id", vm.strId}}, json))
        << wrapper_->GetLastError().strErrorMessage;
    EXPECT_EQ(simulator_->SessionCount(), 0u) << "signed requests need no session";

    EXPECT_FALSE(wrapper_->ConnectWithApiKey(Endpoint(), admin.apiKey, admin.secretKey + "x"));
    EXPECT_EQ(wrapper_->GetLastError().lErrorCode, 401);
}

TEST_F(EndToEndTlsTest, APasswordInASubdomainCarriesAWholeSession) {
    const auto jane = User("jane");
    ASSERT_FALSE(jane.domainPath.empty());
    EXPECT_FALSE(wrapper_->Connect(Endpoint(), jane.user, jane.password));  // looked up in ROOT
    EXPECT_EQ(wrapper_->GetLastError().lErrorCode, 531);
    ASSERT_TRUE(wrapper_->Connect(Endpoint(), jane.user, jane.password, jane.domainPath))
        << wrapper_->GetLastError().strErrorMessage;
    std::vector<SVMInfoLib> vms;
    ASSERT_TRUE(wrapper_->GetVMInfoList(vms, 0));
    ASSERT_FALSE(vms.empty());
    WholeSession(vms.front().strName);
    EXPECT_TRUE(wrapper_->Disconnect());
    EXPECT_EQ(simulator_->SessionCount(), 0u);
}

TEST_F(EndToEndTlsTest, AnUntrustedCertificateIsRefusedAndVerifyOffWarns) {
    CCloudStackWrapper stranger;  // no CA file: the system store does not know the test CA
    EXPECT_FALSE(stranger.Connect(Endpoint(), "admin", "password"));
    EXPECT_EQ(stranger.GetLastError().lErrorCode, CS_ERROR_TLS_CERTIFICATE);
    stranger.SetVerifyPeer(false);
    EXPECT_TRUE(stranger.Connect(Endpoint(), "admin", "password")) << stranger.GetLastError().strErrorMessage;
}

TEST_F(EndToEndTlsTest, AProxyCarriesAWholeSessionAndSaysWhenItWillNot) {
    cstest::TestProxy proxy;
    ASSERT_TRUE(proxy.Start());
    ASSERT_TRUE(wrapper_->SetProxy(proxy.Url())) << wrapper_->GetLastError().strErrorMessage;
    const auto admin = User("admin");
    ASSERT_TRUE(wrapper_->ConnectWithApiKey(Endpoint(), admin.apiKey, admin.secretKey))
        << wrapper_->GetLastError().strErrorMessage;
    WholeSession("web-01");
    EXPECT_GE(proxy.Count("CONNECT"), 1u);
    EXPECT_EQ(proxy.Passages().size(), proxy.Count("CONNECT")) << "every request went through a tunnel";

    CCloudStackWrapper host;
    host.SetCaFile(certificates_.Ca().certificateFile);
    proxy.RequireCredentials("ops", "right");
    ASSERT_TRUE(host.SetProxy("http://ops:wrong-pw@" + proxy.HostPort()));
    EXPECT_FALSE(host.Connect(Endpoint(), "admin", "password"));
    EXPECT_EQ(host.GetLastError().lErrorCode, CS_ERROR_PROXY);
    const std::string& message = host.GetLastError().strErrorMessage;
    EXPECT_NE(message.find("cannot reach " + address_ + ":8443: the proxy " + proxy.HostPort() +
                           " answered CONNECT with HTTP 407"),
              std::string::npos)
        << message;
    EXPECT_EQ(message.find("wrong-pw"), std::string::npos) << message;

    // A URL of another form: refused at once, and nothing goes out, through the proxy or around it.
    const std::size_t passed = proxy.Passages().size();
    EXPECT_FALSE(host.SetProxy("socks4://" + proxy.HostPort()));
    EXPECT_EQ(host.GetLastError().lErrorCode, CS_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(host.GetLastError().strErrorMessage,
              "proxy refused: the proxy scheme 'socks4' is not http, https or socks5h");
    EXPECT_FALSE(host.Connect(Endpoint(), "admin", "password"));
    EXPECT_EQ(host.GetLastError().lErrorCode, CS_ERROR_INVALID_ARGUMENT);
    EXPECT_NE(host.GetLastError().strErrorMessage.find("proxy refused"), std::string::npos);
    EXPECT_EQ(proxy.Passages().size(), passed);
    EXPECT_EQ(simulator_->SessionCount(), 0u) << "a login went around the proxy";
    ASSERT_TRUE(host.SetProxy(""));
    EXPECT_TRUE(host.Connect(Endpoint(), "admin", "password")) << host.GetLastError().strErrorMessage;
    EXPECT_EQ(proxy.Passages().size(), passed);
}

TEST_F(EndToEndTlsTest, BehindMutualTlsOnlyTheRightClientCertificateGetsIn) {
    cstest::TestServer server(address_);
    cstest::ListenOptions options;
    options.port = 0;
    options.tls = certificates_.Server();
    options.clientCaPem = certificates_.Ca().certificatePem;
    ASSERT_TRUE(server.Start(options));
    const std::string endpoint = server.BaseUrl();
    CCloudStackWrapper host;
    host.SetCaFile(certificates_.Ca().certificateFile);

    EXPECT_FALSE(host.Connect(endpoint, "admin", "password"));
    EXPECT_EQ(host.GetLastError().lErrorCode, CS_ERROR_TLS);
    EXPECT_NE(host.GetLastError().strErrorMessage.find("the server demands a client certificate and none was given"),
              std::string::npos)
        << host.GetLastError().strErrorMessage;

    // A file that is not there: refused at once, and Connect sends nothing until it is mended.
    const std::string missing = certificates_.Directory() + "/missing-cert.pem";
    EXPECT_FALSE(host.SetClientCertificate(missing, certificates_.Client().privateKeyFile));
    EXPECT_EQ(host.GetLastError().lErrorCode, CS_ERROR_INVALID_ARGUMENT);
    EXPECT_NE(host.GetLastError().strErrorMessage.find("'" + missing + "'"), std::string::npos)
        << host.GetLastError().strErrorMessage;
    server.ClearRequests();
    EXPECT_FALSE(host.Connect(endpoint, "admin", "password"));
    EXPECT_EQ(host.GetLastError().lErrorCode, CS_ERROR_INVALID_ARGUMENT);
    EXPECT_NE(host.GetLastError().strErrorMessage.find("cannot read the client certificate file '" + missing + "'"),
              std::string::npos)
        << host.GetLastError().strErrorMessage;
    EXPECT_EQ(server.Count(), 0u);

    ASSERT_TRUE(
        host.SetClientCertificate(certificates_.Client().certificateFile, certificates_.Client().privateKeyFile))
        << host.GetLastError().strErrorMessage;
    ASSERT_TRUE(host.Connect(endpoint, "admin", "password")) << host.GetLastError().strErrorMessage;
    std::vector<SZoneInfoLib> zones;
    EXPECT_TRUE(host.GetZoneInfoList(zones, 0)) << host.GetLastError().strErrorMessage;
    EXPECT_FALSE(zones.empty());

    ASSERT_TRUE(
        host.SetClientCertificate(certificates_.Unknown().certificateFile, certificates_.Unknown().privateKeyFile));
    EXPECT_FALSE(host.Connect(endpoint, "admin", "password"));
    EXPECT_EQ(host.GetLastError().lErrorCode, CS_ERROR_TLS);
    EXPECT_NE(host.GetLastError().strErrorMessage.find("the server refused the client certificate"), std::string::npos)
        << host.GetLastError().strErrorMessage;
}

}  // namespace
