#include <gtest/gtest.h>
#include <httplib.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "LoopbackAddress.h"
#include "Simulator.h"
#include "TestCertificates.h"

namespace {

using nlohmann::json;

class SimulatorTlsTest : public ::testing::Test {
protected:
    // HTTPS on a port the system picks, with the server certificate and @p keyFile.
    cssim::SimulatorOptions TlsOptions(const std::string& keyFile) const {
        cssim::SimulatorOptions options;
        options.port = 0;
        options.tlsCertificateFile = certificates_.Server().certificateFile;
        options.tlsKeyFile = keyFile;
        return options;
    }

    const std::string address_ = cstest::ProcessLoopbackAddress();
    const cstest::TestCertificates certificates_{"", address_};
};

TEST_F(SimulatorTlsTest, ServesHttpsThatAVerifyingClientAccepts) {
    cssim::Simulator simulator(TlsOptions(certificates_.Server().privateKeyFile));
    ASSERT_TRUE(simulator.Start(address_));

    httplib::SSLClient client(address_, simulator.Port());
    client.set_ca_cert_path(certificates_.Ca().certificateFile.c_str());
    client.enable_server_certificate_verification(true);
    const auto login = client.Post("/client/api?command=login&response=json", "username=admin&password=password",
                                   "application/x-www-form-urlencoded");
    ASSERT_TRUE(login) << httplib::to_string(login.error());
    ASSERT_EQ(login->status, 200);
    const std::string key = json::parse(login->body)["loginresponse"]["sessionkey"];
    const std::string setCookie = login->get_header_value("Set-Cookie", 0);
    const std::string sessionId = setCookie.substr(11, setCookie.find(';') - 11);
    const auto zones = client.Get(("/client/api?command=listZones&response=json&sessionkey=" + key).c_str(),
                                  {{"Cookie", "JSESSIONID=" + sessionId + "; sessionkey=" + key}});
    ASSERT_TRUE(zones);
    EXPECT_EQ(zones->status, 200);
    EXPECT_EQ(json::parse(zones->body)["listzonesresponse"]["count"], 2);
    client.stop();
    simulator.Stop();
}

TEST_F(SimulatorTlsTest, PlainHttpGetsNoAnswer) {
    cssim::Simulator simulator(TlsOptions(certificates_.Server().privateKeyFile));
    ASSERT_TRUE(simulator.Start(address_));
    httplib::Client plain(address_, simulator.Port());
    const auto result = plain.Get("/client/api?command=listCapabilities&response=json");
    EXPECT_TRUE(!result || result->status != 200);
    EXPECT_EQ(simulator.RequestCount(), 0u);
}

TEST_F(SimulatorTlsTest, KeyOfAnotherCertificateFailsTheStart) {
    cssim::Simulator simulator(TlsOptions(certificates_.Unknown().privateKeyFile));
    EXPECT_FALSE(simulator.Start(address_));
}

}  // namespace
