#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <string>

#include "CommandLine.h"
#include "Inventory.h"
#include "LoopbackAddress.h"
#include "LoopbackSockets.h"
#include "Simulator.h"
#include "SimulatorTestHelpers.h"

namespace {

using namespace std::chrono_literals;
using simtest::CookieValue;
using simtest::json;
using Login = simtest::Session;

json Body(const httplib::Result& result) {
    return json::parse(result->body, nullptr, false);
}

/// Starts a simulator on this process's loopback address for every test and talks to it over HTTP.
class SimulatorTest : public ::testing::Test {
protected:
    void SetUp() override {
        cssim::SimulatorOptions options;
        Configure(options);
        simulator_ = std::make_unique<cssim::Simulator>(std::move(options));
        ASSERT_TRUE(simulator_->Start(address_));
        client_ = std::make_unique<httplib::Client>(address_, cssim::Simulator::kPort);
        client_->set_url_encode(false);  // queries here are written already encoded, as a client sends them
    }

    void TearDown() override {
        client_.reset();  // an idle keep-alive connection would hold up Stop()
        if (simulator_) simulator_->Stop();
        simulator_.reset();
    }

    virtual void Configure(cssim::SimulatorOptions& /*options*/) {}

    httplib::Result Get(const std::string& query, const httplib::Headers& headers = {}) {
        return client_->Get(("/client/api?" + query).c_str(), headers);
    }

    httplib::Result Post(const std::string& query, const std::string& body = "", const httplib::Headers& headers = {}) {
        return client_->Post(("/client/api?" + query).c_str(), headers, body, "application/x-www-form-urlencoded");
    }

    Login LogIn() {
        const auto result = Post("command=login&username=admin&password=password&response=json");
        if (!result || result->status != 200 || result->get_header_value_count("Set-Cookie") != 2) {
            ADD_FAILURE() << "login failed";
            return {};
        }
        return {CookieValue(result->get_header_value("Set-Cookie", 0)),
                CookieValue(result->get_header_value("Set-Cookie", 1))};
    }

    /// A call the way a current client makes it: session key as cookie and as parameter.
    httplib::Result Call(const Login& login, const std::string& query) {
        return Get(query + "&response=json&sessionkey=" + login.key,
                   {{"Cookie", "JSESSIONID=" + login.id + "; sessionkey=" + login.key}});
    }

    json CallJson(const Login& login, const std::string& query) {
        const auto result = Call(login, query);
        if (!result) {
            ADD_FAILURE() << "no answer to " << query;
            return json();
        }
        return Body(result);
    }

    const std::string address_ = cstest::ProcessLoopbackAddress();
    std::unique_ptr<cssim::Simulator> simulator_;
    std::unique_ptr<httplib::Client> client_;
};

// ---------------------------------------------------------------------------------------------------------------

class SimulatorLoginTest : public SimulatorTest {};

TEST_F(SimulatorLoginTest, GoodCredentialsAnswerSessionKeyAndTwoCookieLines) {
    const auto result = Post("command=login&username=admin&password=password&response=json");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 200);
    const json body = Body(result);
    const std::string key = body["loginresponse"]["sessionkey"].get<std::string>();
    EXPECT_EQ(key.size(), 27u);
    EXPECT_EQ(body["loginresponse"]["username"], "admin");
    EXPECT_EQ(body["loginresponse"]["timeout"], 1800);
    ASSERT_EQ(result->get_header_value_count("Set-Cookie"), 2u);
    const std::string first = result->get_header_value("Set-Cookie", 0);
    EXPECT_EQ(first.rfind("JSESSIONID=", 0), 0u);
    EXPECT_EQ(first.substr(first.find(';')), "; Path=/client");
    EXPECT_EQ(result->get_header_value("Set-Cookie", 1), "sessionkey=" + key + ";HttpOnly;SameSite=Lax");
}

TEST_F(SimulatorLoginTest, PostWithoutContentLengthIsAnEmptyBody) {
    // What "curl -X POST" sends: no Content-Length header at all (httplib's client always adds one).
    const std::string answer =
        cstest::RawExchange(address_, cssim::Simulator::kPort,
                            "POST /client/api?command=login&username=admin&password=password&response=json HTTP/1.1\r\n"
                            "Host: simulator\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(answer.rfind("HTTP/1.1 200 ", 0), 0u) << answer;
    EXPECT_EQ(simulator_->RequestCount(), 1u);
}

TEST_F(SimulatorLoginTest, SecondSimulatorCannotTakeTheSameAddress) {
    cssim::Simulator second{cssim::SimulatorOptions{}};
    EXPECT_FALSE(second.Start(address_));
}

TEST_F(SimulatorLoginTest, GetIsRefusedWith405PlainText) {
    const auto result = Get("command=login&username=admin&password=password&response=json");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 405);
    EXPECT_EQ(result->get_header_value("Content-Type").rfind("text/plain", 0), 0u);
    EXPECT_FALSE(json::accept(result->body));
    EXPECT_EQ(result->get_header_value_count("Set-Cookie"), 0u);
    EXPECT_EQ(simulator_->SessionCount(), 0u);
}

TEST_F(SimulatorLoginTest, BadPasswordAnswers531WithoutCookie) {
    const auto result = Post("command=login&username=admin&password=wrong&response=json");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 531);
    EXPECT_EQ(Body(result), json::parse(R"({"loginresponse":{"uuidList":[],"errorcode":531,"errortext":
        "Failed to authenticate user admin in domain 1; please provide valid credentials"}})"));
    EXPECT_EQ(result->get_header_value_count("Set-Cookie"), 0u);
    EXPECT_EQ(simulator_->SessionCount(), 0u);
}

TEST_F(SimulatorLoginTest, CredentialsInFormBodyAreAccepted) {
    const auto result = Post("response=json", "command=login&username=admin&password=password");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 200);
    EXPECT_EQ(result->get_header_value_count("Set-Cookie"), 2u);
}

TEST_F(SimulatorLoginTest, TwoClientsHoldSeparateSessions) {
    const Login first = LogIn();
    const Login second = LogIn();
    EXPECT_NE(first.id, second.id);
    EXPECT_NE(first.key, second.key);
    EXPECT_EQ(simulator_->SessionCount(), 2u);
    EXPECT_EQ(Call(first, "command=listZones")->status, 200);
    EXPECT_EQ(Call(second, "command=listZones")->status, 200);
}

class SimulatorPasswordDecodingTest : public SimulatorTest {
protected:
    void Configure(cssim::SimulatorOptions& options) override {
        options.password = "p a+s&1";
        options.badLoginDelay = 1ms;
    }
};

TEST_F(SimulatorPasswordDecodingTest, PercentEscapesAndPlusDecodeLikeTheServer) {
    EXPECT_EQ(Post("command=login&username=admin&password=p%20a%2Bs%261")->status, 200);
    EXPECT_EQ(Post("command=login&username=admin&password=p+a%2Bs%261")->status, 200);
}

TEST_F(SimulatorPasswordDecodingTest, LiteralPlusIsABlank) {
    EXPECT_EQ(Post("command=login&username=admin&password=p+a+s%261")->status, 531);
}

// ---------------------------------------------------------------------------------------------------------------

class SimulatorSessionKeyTest : public SimulatorTest {};

TEST_F(SimulatorSessionKeyTest, CookieAndParameterTogetherAreAccepted) {
    const Login login = LogIn();
    EXPECT_EQ(Call(login, "command=listZones")->status, 200);
}

TEST_F(SimulatorSessionKeyTest, CookieAloneIsRefusedAndDropsTheSession) {
    const Login login = LogIn();
    const auto refused =
        Get("command=listZones&response=json", {{"Cookie", "JSESSIONID=" + login.id + "; sessionkey=" + login.key}});
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, 401);
    EXPECT_EQ(Body(refused), json::parse(R"({"listzonesresponse":{"uuidList":[],"errorcode":401,
        "errortext":"unable to verify user credentials"}})"));
    EXPECT_EQ(simulator_->SessionCount(), 0u);
    const auto later = Call(login, "command=listZones");
    EXPECT_EQ(later->status, 401);
    EXPECT_EQ(Body(later)["listzonesresponse"]["errortext"],
              "unable to verify user credentials and/or request signature");
}

TEST_F(SimulatorSessionKeyTest, ParameterAloneIsRefused) {
    const Login login = LogIn();
    const auto result = Get("command=listZones&sessionkey=" + login.key, {{"Cookie", "JSESSIONID=" + login.id}});
    EXPECT_EQ(result->status, 401);
}

TEST_F(SimulatorSessionKeyTest, WrongParameterIsRefused) {
    const Login login = LogIn();
    const auto result = Get("command=listZones&sessionkey=x" + login.key,
                            {{"Cookie", "JSESSIONID=" + login.id + "; sessionkey=" + login.key}});
    EXPECT_EQ(result->status, 401);
    EXPECT_EQ(simulator_->SessionCount(), 0u);
}

TEST_F(SimulatorSessionKeyTest, NoSessionCookieAnswersSignatureError) {
    const auto result = Get("command=listZones&response=json&sessionkey=abc");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 401);
    EXPECT_EQ(Body(result), json::parse(R"({"listzonesresponse":{"uuidList":[],"errorcode":401,
        "errortext":"unable to verify user credentials and/or request signature"}})"));
}

TEST_F(SimulatorSessionKeyTest, CookiesOnSeparateHeaderLinesAreRead) {
    const Login login = LogIn();
    const auto result = Get("command=listZones&sessionkey=" + login.key,
                            {{"Cookie", "JSESSIONID=" + login.id}, {"Cookie", "sessionkey=" + login.key}});
    EXPECT_EQ(result->status, 200);
}

class SimulatorOlderSessionCheckTest : public SimulatorTest {
protected:
    void Configure(cssim::SimulatorOptions& options) override { options.olderSessionCheck = true; }
};

TEST_F(SimulatorOlderSessionCheckTest, CookieAloneIsAccepted) {
    const Login login = LogIn();
    const auto result = Get("command=listZones", {{"Cookie", "JSESSIONID=" + login.id + "; sessionkey=" + login.key}});
    EXPECT_EQ(result->status, 200);
}

TEST_F(SimulatorOlderSessionCheckTest, ParameterAloneIsAccepted) {
    const Login login = LogIn();
    EXPECT_EQ(Get("command=listZones&sessionkey=" + login.key, {{"Cookie", "JSESSIONID=" + login.id}})->status, 200);
}

TEST_F(SimulatorOlderSessionCheckTest, WrongCookieIsRefusedEvenWithRightParameter) {
    const Login login = LogIn();
    const auto result =
        Get("command=listZones&sessionkey=" + login.key, {{"Cookie", "JSESSIONID=" + login.id + "; sessionkey=stale"}});
    EXPECT_EQ(result->status, 401);
    EXPECT_EQ(simulator_->SessionCount(), 0u);
}

TEST_F(SimulatorOlderSessionCheckTest, NoKeyAtAllIsRefused) {
    const Login login = LogIn();
    EXPECT_EQ(Get("command=listZones", {{"Cookie", "JSESSIONID=" + login.id}})->status, 401);
}

// ---------------------------------------------------------------------------------------------------------------

class SimulatorParameterTest : public SimulatorTest {};

TEST_F(SimulatorParameterTest, PlusAndPercent20BothDecodeToBlank) {
    const Login login = LogIn();
    for (const char* name : {"cluster+b+(", "cluster%20B%20%28"}) {
        const json body = CallJson(login, std::string("command=listClusters&name=") + name);
        ASSERT_EQ(body["listclustersresponse"]["count"], 1) << name;
        EXPECT_EQ(body["listclustersresponse"]["cluster"][0]["name"], "Cluster B (GPU)");
    }
}

TEST_F(SimulatorParameterTest, EncodedAmpersandStaysInsideTheValue) {
    const Login login = LogIn();
    EXPECT_EQ(CallJson(login, "command=listZones&name=%26"), json::parse(R"({"listzonesresponse":{}})"));
}

TEST_F(SimulatorParameterTest, RepeatedParameterKeepsLastValue) {
    const Login login = LogIn();
    const json body = CallJson(login, "command=listZones&name=us1&name=eu1");
    ASSERT_EQ(body["listzonesresponse"]["count"], 1);
    EXPECT_EQ(body["listzonesresponse"]["zone"][0]["name"], "zone-eu1");
}

TEST_F(SimulatorParameterTest, ParameterNamesAreCaseSensitive) {
    const Login login = LogIn();
    EXPECT_EQ(CallJson(login, "command=listZones&NAME=eu1")["listzonesresponse"]["count"], 2);
}

TEST_F(SimulatorParameterTest, ControlCharacterInValueAnswers431) {
    const Login login = LogIn();
    const auto result = Call(login, "command=listZones&name=eu%0A1");
    EXPECT_EQ(result->status, 431);
    EXPECT_EQ(Body(result)["listzonesresponse"]["errorcode"], 431);
}

TEST_F(SimulatorParameterTest, MalformedEscapeIsABadRequest) {
    const Login login = LogIn();
    EXPECT_EQ(Call(login, "command=listZones&name=%zz")->status, 400);
}

TEST_F(SimulatorParameterTest, UnknownCommandAnswers432UnderErrorResponse) {
    const Login login = LogIn();
    const auto result = Call(login, "command=listFoos");
    EXPECT_EQ(result->status, 432);
    EXPECT_EQ(Body(result), json::parse(R"({"errorresponse":{"uuidList":[],"errorcode":432,"cserrorcode":9999,
        "errortext":"Unknown API command: listFoos"}})"));
}

TEST_F(SimulatorParameterTest, CommandNamesAreCaseSensitive) {
    const Login login = LogIn();
    EXPECT_EQ(Call(login, "command=listzones")->status, 432);
}

// ---------------------------------------------------------------------------------------------------------------

class SimulatorListTest : public SimulatorTest {};

TEST_F(SimulatorListTest, NonMatchingFilterAnswersBareResponseObject) {
    const Login login = LogIn();
    const auto result = Call(login, "command=listZones&name=nowhere");
    EXPECT_EQ(result->status, 200);
    EXPECT_EQ(result->body, R"({"listzonesresponse":{}})");
}

TEST_F(SimulatorListTest, NameFilterIsCaseInsensitiveSubstring) {
    const Login login = LogIn();
    const json body = CallJson(login, "command=listVirtualMachines&name=EB-0");
    ASSERT_EQ(body["listvirtualmachinesresponse"]["count"], 3);
    for (const auto& vm : body["listvirtualmachinesresponse"]["virtualmachine"]) {
        EXPECT_EQ(vm["name"].get<std::string>().rfind("web-0", 0), 0u);
    }
}

TEST_F(SimulatorListTest, UnderscoreMatchesOneCharacter) {
    const Login login = LogIn();
    EXPECT_EQ(CallJson(login, "command=listZones&name=zone_us")["listzonesresponse"]["count"], 1);
    EXPECT_EQ(CallJson(login, "command=listZones&name=zone__us"), json::parse(R"({"listzonesresponse":{}})"));
}

TEST_F(SimulatorListTest, IdFilterIsExact) {
    const Login login = LogIn();
    const json body = CallJson(login, "command=listHosts&id=7caad899-5e45-4176-9704-98367d31d944");
    ASSERT_EQ(body["listhostsresponse"]["count"], 1);
    EXPECT_EQ(body["listhostsresponse"]["host"][0]["name"], "kvm-01");
    EXPECT_EQ(CallJson(login, "command=listHosts&id=7caad899-5e45-4176-9704-98367d31d940"),
              json::parse(R"({"listhostsresponse":{}})"));
}

TEST_F(SimulatorListTest, MalformedIdAnswers431) {
    const Login login = LogIn();
    const auto result = Call(login, "command=listHosts&clusterid=not-a-uuid");
    EXPECT_EQ(result->status, 431);
    EXPECT_EQ(Body(result)["listhostsresponse"]["cserrorcode"], 9999);
}

TEST_F(SimulatorListTest, StoppedMachineCarriesNoHost) {
    const Login login = LogIn();
    const json stopped = CallJson(login, "command=listVirtualMachines&name=db-01")["listvirtualmachinesresponse"];
    ASSERT_EQ(stopped["count"], 1);
    EXPECT_EQ(stopped["virtualmachine"][0]["state"], "Stopped");
    EXPECT_FALSE(stopped["virtualmachine"][0].contains("hostid"));
    EXPECT_FALSE(stopped["virtualmachine"][0].contains("hostname"));
    const json running = CallJson(login, "command=listVirtualMachines&name=web-01")["listvirtualmachinesresponse"];
    EXPECT_EQ(running["virtualmachine"][0]["hostname"], "kvm-01");
}

TEST_F(SimulatorListTest, OtherAccountsMachinesNeedListAll) {
    const Login login = LogIn();
    EXPECT_EQ(CallJson(login, "command=listVirtualMachines&name=ci-runner"),
              json::parse(R"({"listvirtualmachinesresponse":{}})"));
    EXPECT_EQ(
        CallJson(login,
                 "command=listVirtualMachines&name=ci-runner&listall=true")["listvirtualmachinesresponse"]["count"],
        1);
}

TEST_F(SimulatorListTest, HostsCarry64BitMemoryFigures) {
    const Login login = LogIn();
    const json hosts = CallJson(login, "command=listHosts")["listhostsresponse"]["host"];
    ASSERT_FALSE(hosts.empty());
    for (const auto& host : hosts) {
        ASSERT_TRUE(host["memorytotal"].is_number_integer()) << host["name"];
        EXPECT_GT(host["memorytotal"].get<std::uint64_t>(), std::uint64_t{1} << 32) << host["name"];
        const std::string cpu = host["cpuallocated"].get<std::string>();
        EXPECT_EQ(cpu.back(), '%') << host["name"];
    }
}

TEST_F(SimulatorListTest, ClusterNameWithBlankIsListed) {
    const Login login = LogIn();
    int withBlank = 0;
    const json clusters = CallJson(login, "command=listClusters")["listclustersresponse"]["cluster"];
    for (const auto& cluster : clusters) {
        if (cluster["name"].get<std::string>().find(' ') != std::string::npos) ++withBlank;
    }
    EXPECT_GE(withBlank, 1);
}

// ---------------------------------------------------------------------------------------------------------------

class SimulatorPagingTest : public SimulatorTest {
protected:
    void Configure(cssim::SimulatorOptions& options) override {
        options.inventory = simtest::SharedGenerated(1234);
        options.pageSize = 500;
    }
};

TEST_F(SimulatorPagingTest, AnswerHoldsOnePageButCountsEveryMatch) {
    const Login login = LogIn();
    const json body = CallJson(login, "command=listVirtualMachines")["listvirtualmachinesresponse"];
    EXPECT_EQ(body["count"], 1234);
    EXPECT_EQ(body["virtualmachine"].size(), 500u);
}

TEST_F(SimulatorPagingTest, LastPageHoldsTheRest) {
    const Login login = LogIn();
    const json body = CallJson(login, "command=listVirtualMachines&page=3&pagesize=500")["listvirtualmachinesresponse"];
    EXPECT_EQ(body["count"], 1234);
    EXPECT_EQ(body["virtualmachine"].size(), 234u);
}

TEST_F(SimulatorPagingTest, PagesCoverEveryMachineOnce) {
    const Login login = LogIn();
    std::set<std::string> names;
    std::size_t items = 0;
    for (int page = 1; page <= 3; ++page) {
        const json body = CallJson(login, "command=listVirtualMachines&pagesize=500&page=" + std::to_string(page));
        for (const auto& vm : body["listvirtualmachinesresponse"]["virtualmachine"]) {
            names.insert(vm["name"].get<std::string>());
            ++items;
        }
    }
    EXPECT_EQ(items, 1234u);
    EXPECT_EQ(names.size(), 1234u);
    EXPECT_EQ(names.count("vm-01234"), 1u);
}

TEST_F(SimulatorPagingTest, PagePastTheEndAnswersCountOnly) {
    const Login login = LogIn();
    const auto result = Call(login, "command=listVirtualMachines&page=4&pagesize=500");
    EXPECT_EQ(result->status, 200);
    EXPECT_EQ(result->body, R"({"listvirtualmachinesresponse":{"count":1234}})");
}

TEST_F(SimulatorPagingTest, PageSizeAboveMaximumAnswers431) {
    const Login login = LogIn();
    const auto result = Call(login, "command=listClusters&page=1&pagesize=501");
    EXPECT_EQ(result->status, 431);
    EXPECT_EQ(Body(result), json::parse(R"({"listclustersresponse":{"uuidList":[],"errorcode":431,"cserrorcode":4350,
        "errortext":"Page size can't exceed max allowed page size value: 500"}})"));
}

TEST_F(SimulatorPagingTest, PageWithoutPageSizeAnswers431) {
    const Login login = LogIn();
    const auto result = Call(login, "command=listVirtualMachines&page=2");
    EXPECT_EQ(result->status, 431);
    EXPECT_EQ(Body(result)["listvirtualmachinesresponse"]["errorcode"], 431);
}

// ---------------------------------------------------------------------------------------------------------------

class SimulatorJobTest : public SimulatorTest {
protected:
    static constexpr const char* kDb01 = "090d187e-928c-4318-a5c4-a61d882f83be";
    static constexpr const char* kWeb01 = "fcbea053-779e-4c4b-8c30-b22ece7c5b3d";

    std::string StartJob(const Login& login, const std::string& command, const std::string& id) {
        const auto result = Call(login, "command=" + command + "&id=" + id);
        if (!result || result->status != 200) {
            ADD_FAILURE() << command << " was refused";
            return {};
        }
        const json content = Body(result).begin().value();
        EXPECT_EQ(content.size(), 1u) << "only the job id, no id of the machine";
        return content.value("jobid", "");
    }

    json Query(const Login& login, const std::string& jobId) {
        return CallJson(login, "command=queryAsyncJobResult&jobid=" + jobId)["queryasyncjobresultresponse"];
    }
};

TEST_F(SimulatorJobTest, StartingStoppedMachineRunsItOnAHost) {
    const Login login = LogIn();
    const json job = Query(login, StartJob(login, "startVirtualMachine", kDb01));
    EXPECT_EQ(job["jobstatus"], 1);
    EXPECT_EQ(job["jobresultcode"], 0);
    EXPECT_EQ(job["jobresult"]["virtualmachine"]["state"], "Running");
    EXPECT_TRUE(job["jobresult"]["virtualmachine"].contains("hostid"));
    const json listed = CallJson(login, "command=listVirtualMachines&id=" + std::string(kDb01));
    EXPECT_EQ(listed["listvirtualmachinesresponse"]["virtualmachine"][0]["state"], "Running");
    EXPECT_FALSE(simulator_->MachineHostName("db-01").empty());
}

TEST_F(SimulatorJobTest, StartingRunningMachineFailsWith431) {
    const Login login = LogIn();
    const json job = Query(login, StartJob(login, "startVirtualMachine", kWeb01));
    EXPECT_EQ(job["jobstatus"], 2);
    EXPECT_EQ(job["jobresultcode"], 431);
    EXPECT_EQ(job["jobresult"]["errorcode"], 431);
    EXPECT_NE(job["jobresult"]["errortext"].get<std::string>().find("is already running"), std::string::npos);
    EXPECT_EQ(simulator_->MachineState("web-01"), "Running");
}

TEST_F(SimulatorJobTest, StoppingRunningMachineDropsItsHost) {
    const Login login = LogIn();
    const json job = Query(login, StartJob(login, "stopVirtualMachine", kWeb01));
    EXPECT_EQ(job["jobstatus"], 1);
    EXPECT_FALSE(job["jobresult"]["virtualmachine"].contains("hostid"));
    const json vm =
        CallJson(login, "command=listVirtualMachines&name=web-01")["listvirtualmachinesresponse"]["virtualmachine"][0];
    EXPECT_EQ(vm["state"], "Stopped");
    EXPECT_FALSE(vm.contains("hostid"));
    EXPECT_FALSE(vm.contains("hostname"));
}

TEST_F(SimulatorJobTest, StoppingStoppedMachineSucceeds) {
    const Login login = LogIn();
    EXPECT_EQ(Query(login, StartJob(login, "stopVirtualMachine", kDb01))["jobstatus"], 1);
    EXPECT_EQ(simulator_->MachineState("db-01"), "Stopped");
}

TEST_F(SimulatorJobTest, UnknownMachineAnswers431WithoutJob) {
    const Login login = LogIn();
    const auto result = Call(login, "command=startVirtualMachine&id=00000000-0000-4000-8000-000000000000");
    EXPECT_EQ(result->status, 431);
    const json body = Body(result)["startvirtualmachineresponse"];
    EXPECT_EQ(body["errorcode"], 431);
    EXPECT_FALSE(body.contains("jobid"));
}

TEST_F(SimulatorJobTest, MissingIdAnswers431) {
    const Login login = LogIn();
    const auto result = Call(login, "command=startVirtualMachine");
    EXPECT_EQ(result->status, 431);
    EXPECT_EQ(Body(result), json::parse(R"({"startvirtualmachineresponse":{"uuidList":[],"errorcode":431,
        "cserrorcode":9999,
        "errortext":"Unable to execute API command startvirtualmachine due to missing parameter id"}})"));
}

TEST_F(SimulatorJobTest, UnknownJobAnswers431) {
    const Login login = LogIn();
    const auto result = Call(login, "command=queryAsyncJobResult&jobid=00000000-0000-4000-8000-000000000000");
    EXPECT_EQ(result->status, 431);
}

TEST_F(SimulatorJobTest, StartIsAcceptedAsPost) {
    const Login login = LogIn();
    const auto result =
        client_->Post("/client/api", {{"Cookie", "JSESSIONID=" + login.id + "; sessionkey=" + login.key}},
                      "command=startVirtualMachine&id=" + std::string(kDb01) + "&sessionkey=" + login.key,
                      "application/x-www-form-urlencoded");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 200);
    EXPECT_EQ(simulator_->MachineState("db-01"), "Running");
}

/// Jobs that take 30 s of a clock the test turns by hand.
class SimulatorPendingJobTest : public SimulatorJobTest {
protected:
    void Configure(cssim::SimulatorOptions& options) override {
        options.jobSeconds = 30;
        options.clock = [this] { return start_ + std::chrono::seconds(elapsedSeconds_.load()); };
    }

    const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    std::atomic<int> elapsedSeconds_{0};
};

TEST_F(SimulatorPendingJobTest, JobStaysPendingUntilItsTimeHasPassed) {
    const Login login = LogIn();
    const std::string jobId = StartJob(login, "startVirtualMachine", kDb01);
    const json pending = Query(login, jobId);
    EXPECT_EQ(pending["jobstatus"], 0);
    EXPECT_FALSE(pending.contains("jobresult"));
    EXPECT_EQ(simulator_->MachineState("db-01"), "Starting");

    elapsedSeconds_ = 29;
    EXPECT_EQ(Query(login, jobId)["jobstatus"], 0);
    elapsedSeconds_ = 31;
    EXPECT_EQ(Query(login, jobId)["jobstatus"], 1);
    EXPECT_EQ(simulator_->MachineState("db-01"), "Running");
}

// ---------------------------------------------------------------------------------------------------------------

class SimulatorStartTest : public ::testing::Test {};

TEST_F(SimulatorStartTest, RefusesAddressOutsideLoopback) {
    cssim::Simulator simulator{cssim::SimulatorOptions{}};
    EXPECT_FALSE(simulator.Start("0.0.0.0"));
}

}  // namespace
