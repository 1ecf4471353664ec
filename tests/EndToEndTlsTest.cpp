// A host program's whole session against the simulator over HTTPS on a port of its own: once
// with an API key pair, once with the password of a user in a subdomain.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "CloudStackWrapper.h"
#include "LoopbackAddress.h"
#include "Simulator.h"
#include "SleepRecorder.h"
#include "TestCertificates.h"

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

}  // namespace
