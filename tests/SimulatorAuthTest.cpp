#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <set>
#include <string>

#include "Accounts.h"
#include "SimulatorTestHelpers.h"

namespace {

using namespace simtest;
using namespace std::chrono_literals;

const char* const kAcmeDomainId = "d5e8f1a2-4b3c-4e6d-8f70-9a1b2c3d4e5f";
const char* const kNoSignature =
    R"({"listzonesresponse":{"uuidList":[],"errorcode":401,"errortext":"unable to verify user credentials and/or request signature"}})";

/// A simulator of the demo cloud driven through Handle(), with clocks the tests set.
class SimulatorAuthTest : public ::testing::Test {
protected:
    void SetUp() override {
        cssim::SimulatorOptions options;
        options.badLoginDelay = 0ms;
        options.sessionTimeout = 60s;
        options.clock = clock_.Function();
        options.wallClock = simtest::WallClockAt("2026-12-08T10:00:00+0000");
        options.apiKey = "test-api-key";
        options.secretKey = "test-secret-key";
        Configure(options);
        simulator_ = std::make_unique<cssim::Simulator>(std::move(options));
        client_ = std::make_unique<Client>(*simulator_);
    }

    virtual void Configure(cssim::SimulatorOptions& /*options*/) {}

    cssim::Simulator::Credentials UserNamed(const std::string& name) const {
        for (const auto& user : simulator_->Users()) {
            if (user.user == name) return user;
        }
        ADD_FAILURE() << "no user " << name;
        return {};
    }

    std::set<std::string> MachineNames(const Answer& answer) const {
        std::set<std::string> names;
        for (const auto& vm : answer.body["listvirtualmachinesresponse"].value("virtualmachine", json::array())) {
            names.insert(vm["name"].get<std::string>());
        }
        return names;
    }

    simtest::ManualClock clock_;
    std::unique_ptr<cssim::Simulator> simulator_;
    std::unique_ptr<Client> client_;
};

// --- login ------------------------------------------------------------------------------------------------------

TEST_F(SimulatorAuthTest, CredentialsMayBeSplitBetweenQueryAndFormBody) {
    const Answer answer = client_->Send("POST", "command=login&username=admin&response=json", "password=password");
    EXPECT_EQ(answer.status, 200) << answer.text;
    EXPECT_EQ(answer.setCookies.size(), 2u);
}

TEST_F(SimulatorAuthTest, SubdomainUserCannotLogInWithoutItsDomain) {
    const Answer answer = client_->Send("POST", "command=login&username=jane&password=acme-password&response=json");
    EXPECT_EQ(answer.status, 531);
    EXPECT_EQ(answer.body["loginresponse"]["errortext"],
              "Failed to authenticate user jane in domain 1; please provide valid credentials");
    EXPECT_TRUE(answer.setCookies.empty());
}

TEST_F(SimulatorAuthTest, DomainPathIsReadWithOrWithoutRootAndSlashes) {
    for (const char* domain : {"ROOT/customers/acme", "/ROOT/customers/acme/", "customers/acme", "/customers/acme"}) {
        const Answer answer =
            client_->Send("POST", "command=login&username=jane&password=acme-password&response=json&domain=" +
                                      simtest::Encode(domain));
        ASSERT_EQ(answer.status, 200) << domain << ": " << answer.text;
        EXPECT_EQ(answer.body["loginresponse"]["account"], "acme");
        EXPECT_EQ(answer.body["loginresponse"]["domainid"], kAcmeDomainId);
        EXPECT_EQ(answer.body["loginresponse"]["type"], "0");
    }
    for (const char* domain : {"/", "ROOT", "/ROOT/"}) {
        EXPECT_EQ(
            client_->Send("POST", "command=login&username=admin&password=password&domain=" + simtest::Encode(domain))
                .status,
            200)
            << domain;
    }
}

TEST_F(SimulatorAuthTest, DomainIdPicksTheDomain) {
    for (const std::string name : {"domainId", "domainid"}) {
        EXPECT_EQ(
            client_->Send("POST", "command=login&username=jane&password=acme-password&" + name + "=" + kAcmeDomainId)
                .status,
            200)
            << name;
    }
}

TEST_F(SimulatorAuthTest, WrongDomainOrUnknownPathFails) {
    const Answer parent =
        client_->Send("POST", "command=login&username=jane&password=acme-password&domain=ROOT/customers");
    EXPECT_EQ(parent.status, 531);
    EXPECT_EQ(parent.body["loginresponse"]["errortext"],
              "Failed to authenticate user jane in domain 2; please provide valid credentials");
    const Answer unknown = client_->Send("POST", "command=login&username=jane&password=acme-password&domain=nowhere");
    EXPECT_EQ(unknown.status, 531);
    EXPECT_TRUE(unknown.setCookies.empty());
    EXPECT_EQ(simulator_->SessionCount(), 0u);
}

TEST_F(SimulatorAuthTest, LogoutAnswersSuccessAndEndsTheSession) {
    const Session session = client_->LogIn();
    const Answer logout = client_->Call(session, "command=logout");
    EXPECT_EQ(logout.status, 200);
    EXPECT_EQ(logout.text, R"({"logoutresponse":{"description":"success"}})");
    EXPECT_EQ(simulator_->SessionCount(), 0u);
    const Answer later = client_->Call(session, "command=listZones");
    EXPECT_EQ(later.status, 401);
    EXPECT_EQ(later.text, kNoSignature);
}

TEST_F(SimulatorAuthTest, IdleSessionExpiresAfterTheTimeout) {
    const Session session = client_->LogIn();
    clock_.Advance(59);
    EXPECT_EQ(client_->Call(session, "command=listZones").status, 200);  // a call restarts the idle time
    clock_.Advance(59);
    EXPECT_EQ(client_->Call(session, "command=listZones").status, 200);
    clock_.Advance(61);
    EXPECT_EQ(simulator_->SessionCount(), 0u);
    EXPECT_EQ(client_->Call(session, "command=listZones").text, kNoSignature);
    EXPECT_EQ(simulator_->LatestSession().first, "");
}

TEST_F(SimulatorAuthTest, LoginAnswerNamesTheUsersOwnIds) {
    const Answer answer = client_->Send("POST", "command=login&username=alice&password=alice-password");
    ASSERT_EQ(answer.status, 200) << answer.text;
    EXPECT_EQ(answer.body["loginresponse"]["account"], "ops");
    EXPECT_EQ(answer.body["loginresponse"]["userid"], "6e0809a0-69ea-46e6-b5f6-c8fc8e05cd5e");
    EXPECT_EQ(answer.body["loginresponse"]["firstname"], "Alice");
}

// --- signed requests --------------------------------------------------------------------------------------------

TEST_F(SimulatorAuthTest, SignedRequestNeedsNoSessionAndSetsNoCookie) {
    // Signature computed with openssl for "apikey=test-api-key&command=listzones&response=json".
    const Answer answer = client_->Send("GET",
                                        "command=listZones&response=json&apikey=test-api-key"
                                        "&signature=ypByT97%2BFeq9LXl%2FtBk0hKLPVIY%3D");
    EXPECT_EQ(answer.status, 200) << answer.text;
    EXPECT_EQ(answer.body["listzonesresponse"]["count"], 2);
    EXPECT_TRUE(answer.setCookies.empty());
    EXPECT_EQ(simulator_->SessionCount(), 0u);
}

TEST_F(SimulatorAuthTest, PlusLeftUnencodedInTheSignatureIsRefused) {
    const Answer answer = client_->Send(
        "GET", "command=listZones&response=json&apikey=test-api-key&signature=ypByT97+Feq9LXl%2FtBk0hKLPVIY%3D");
    EXPECT_EQ(answer.status, 401);
    EXPECT_EQ(answer.text, kNoSignature);
}

TEST_F(SimulatorAuthTest, WrongSignatureUnknownKeyAndMissingSignatureAreRefused) {
    EXPECT_EQ(client_->Signed({{"command", "listZones"}, {"response", "json"}}, "test-api-key", "wrong").text,
              kNoSignature);
    EXPECT_EQ(client_->Signed({{"command", "listZones"}, {"response", "json"}}, "unknown-key", "test-secret-key").text,
              kNoSignature);
    const Answer unsigned_ = client_->Send("GET", "command=listZones&response=json&apikey=test-api-key");
    EXPECT_EQ(unsigned_.status, 401);
    EXPECT_EQ(unsigned_.text, kNoSignature);
}

TEST_F(SimulatorAuthTest, VersionThreeRequestIsRefusedPastItsExpiry) {
    // Signature computed with openssl over the lower-cased, sorted parameters.
    const std::string query =
        "command=listZones&response=json&apikey=test-api-key&signatureversion=3&expires=2026-12-08T10%3A15%3A00%2B0000"
        "&signature=fbFGo4Y59nUR8aeim%2BBfyPtrTCw%3D";
    EXPECT_EQ(client_->Send("GET", query).status, 200);

    cssim::SimulatorOptions options;
    options.apiKey = "test-api-key";
    options.secretKey = "test-secret-key";
    options.wallClock = simtest::WallClockAt("2026-12-08T10:15:01+0000");
    cssim::Simulator later(std::move(options));
    const Answer refused = Client(later).Send("GET", query);
    EXPECT_EQ(refused.status, 401);
    EXPECT_EQ(refused.text, kNoSignature);
}

TEST_F(SimulatorAuthTest, SignedParametersMayTravelInTheFormBody) {
    cssim::ParameterList pairs{{"command", "listZones"}, {"response", "json"}, {"apikey", "test-api-key"}};
    const std::string signature = cssim::ComputeSignature(pairs, "test-secret-key");
    const Answer answer = client_->Send(
        "POST", "response=json", "command=listZones&apikey=test-api-key&signature=" + simtest::Encode(signature));
    EXPECT_EQ(answer.status, 200) << answer.text;
}

TEST_F(SimulatorAuthTest, SessionCookieWinsOverASignature) {
    // A JSESSIONID wins over a signature, as on the server: its key must be right.
    const Session session = client_->LogIn();
    const Answer answer = client_->Send("GET", "command=listZones&response=json&apikey=test-api-key&signature=x", {},
                                        {{"Cookie", "JSESSIONID=" + session.id}});
    EXPECT_EQ(answer.status, 401);
    EXPECT_EQ(answer.body["listzonesresponse"]["errortext"], "unable to verify user credentials");
    EXPECT_EQ(simulator_->SessionCount(), 0u);
}

TEST_F(SimulatorAuthTest, EveryUserSignsWithKeysDerivedFromItsId) {
    const auto jane = UserNamed("jane");
    EXPECT_EQ(jane.domainPath, "ROOT/customers/acme");
    EXPECT_EQ(jane.apiKey, cssim::DerivedUserKey("apikey", "a8f3c2e1-9d4b-4c7a-b6e5-0f1e2d3c4b5a"));
    EXPECT_EQ(jane.apiKey.size(), 86u);
    EXPECT_NE(jane.apiKey, jane.secretKey);
    EXPECT_NE(jane.apiKey, UserNamed("alice").apiKey);
    const Answer answer =
        client_->Signed({{"command", "listVirtualMachines"}, {"response", "json"}}, jane.apiKey, jane.secretKey);
    ASSERT_EQ(answer.status, 200) << answer.text;
    EXPECT_EQ(MachineNames(answer), (std::set<std::string>{"acme-web-01", "acme-db-01"}));
}

TEST_F(SimulatorAuthTest, AdminKeysComeFromTheOptions) {
    const auto admin = simulator_->Users().front();
    EXPECT_EQ(admin.user, "admin");
    EXPECT_EQ(admin.apiKey, "test-api-key");
    EXPECT_EQ(admin.secretKey, "test-secret-key");
}

// --- scope ------------------------------------------------------------------------------------------------------

TEST_F(SimulatorAuthTest, ListAllShowsEveryAccountToTheRootAdminOnly) {
    const Session admin = client_->LogIn();
    const auto own = MachineNames(client_->Call(admin, "command=listVirtualMachines"));
    const auto all = MachineNames(client_->Call(admin, "command=listVirtualMachines&listall=true"));
    EXPECT_EQ(own.count("ci-runner-01"), 0u);
    EXPECT_EQ(own.count("acme-web-01"), 0u);
    EXPECT_EQ(all.count("ci-runner-01"), 1u);
    EXPECT_EQ(all.count("acme-web-01"), 1u);
    EXPECT_EQ(all.size(), own.size() + 3);

    const Session jane = client_->LogIn("jane", "acme-password", "&domain=ROOT/customers/acme");
    EXPECT_EQ(MachineNames(client_->Call(jane, "command=listVirtualMachines&listall=true")),
              (std::set<std::string>{"acme-web-01", "acme-db-01"}));
    EXPECT_EQ(client_->Call(jane, "command=listProjects&listall=true").text, R"({"listprojectsresponse":{}})");
}

TEST_F(SimulatorAuthTest, CapabilitiesNameTheServerVersion) {
    const Session session = client_->LogIn();
    const Answer answer = client_->Call(session, "command=listCapabilities");
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(answer.body["listcapabilitiesresponse"]["capability"]["cloudstackversion"], "4.20.1.0");
}

class SimulatorRenamedAdminTest : public SimulatorAuthTest {
protected:
    void Configure(cssim::SimulatorOptions& options) override {
        options.user = "root";
        options.password = "s3cret";
    }
};

TEST_F(SimulatorRenamedAdminTest, CredentialOptionsRenameTheRootAdmin) {
    EXPECT_EQ(client_->Send("POST", "command=login&username=admin&password=password").status, 531);
    const Answer answer = client_->Send("POST", "command=login&username=root&password=s3cret");
    ASSERT_EQ(answer.status, 200);
    EXPECT_EQ(answer.body["loginresponse"]["account"], "root");
    simulator_->SetCredentials("ops", "other");
    EXPECT_EQ(client_->Send("POST", "command=login&username=ops&password=other").status, 200);
}

}  // namespace
