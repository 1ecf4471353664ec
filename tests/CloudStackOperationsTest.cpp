// Power commands and the job wait, with the sleep replaced by a recorder.

#include <gtest/gtest.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "Components.h"
#include "SleepRecorder.h"
#include "TestServer.h"

using namespace CloudStackSDKWrapper;
using cstest::Fixture;
using cstest::Reply;
using Json = nlohmann::json;

namespace {

std::string JobStatus(const std::string& jobId, int status) {
    return "{\"queryasyncjobresultresponse\":{\"jobid\":\"" + jobId + "\",\"jobstatus\":" + std::to_string(status) +
           ",\"jobprocstatus\":0,\"jobresultcode\":0}}";
}

class OperationsTest : public ::testing::Test, protected cstest::Components {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.Start());
        ASSERT_TRUE(connection.connect(server.Address(), "admin", "password"));
        server.ClearRequests();
        server.Always("startVirtualMachine", Reply{200, {}, Fixture("startVirtualMachine.json")});
        server.Always("stopVirtualMachine", Reply{200, {}, Fixture("stopVirtualMachine.json")});
    }

    size_t Polls() const { return server.Requests("queryAsyncJobResult").size(); }

    // The next answer to @p command (startVirtualMachine, stopVirtualMachine) names job @p jobId.
    void Submits(const std::string& command, const std::string& jobId) {
        std::string key = command;
        for (char& c : key) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
        server.Queue(command, Reply{200, {}, "{\"" + key + "response\":{\"jobid\":\"" + jobId + "\"}}"});
    }

    cstest::SleepRecorder sleeps;
    cstest::TestServer server;
};

TEST_F(OperationsTest, StartPostsTheIdAloneAndSucceedsAtTheFirstPollWithoutSleeping) {
    ASSERT_TRUE(operations.StartVM("ignored name", "vm-id"));
    const auto start = server.Requests("startVirtualMachine");
    ASSERT_EQ(start.size(), 1u);
    EXPECT_EQ(start[0].method, "POST");
    // The URL names the command alone; the id and the session key travel in the form body.
    EXPECT_EQ(start[0].target, "/client/api?command=startVirtualMachine&response=json");
    EXPECT_EQ(start[0].body, "id=vm-id&sessionkey=" + server.SessionKey());
    EXPECT_EQ(start[0].Param("id"), "vm-id");
    EXPECT_FALSE(start[0].Has("name"));
    EXPECT_EQ(Polls(), 1u);
    // The first poll asks for the job id of the start answer.
    EXPECT_EQ(server.Requests("queryAsyncJobResult")[0].Param("jobid"), "799be2d9-34ce-4f26-aa1b-33c9269292ec");
    EXPECT_TRUE(sleeps.Calls().empty());
}

TEST_F(OperationsTest, StartAndStopDifferOnlyInCommandAndTheNameHasNoEffect) {
    ASSERT_TRUE(operations.StopVM("a", "same-id"));
    ASSERT_TRUE(operations.StopVM("b", "same-id"));
    ASSERT_TRUE(operations.StartVM("c", "same-id"));
    const auto stops = server.Requests("stopVirtualMachine");
    ASSERT_EQ(stops.size(), 2u);
    EXPECT_EQ(stops[0].target, stops[1].target);
    const auto start = server.Requests("startVirtualMachine").at(0);
    std::string expected = stops[0].target;
    expected.replace(expected.find("stopVirtualMachine"), 18, "startVirtualMachine");
    EXPECT_EQ(start.target, expected);
}

TEST_F(OperationsTest, APendingJobIsPolledEveryTenSecondsUntilItEnds) {
    Submits("startVirtualMachine", "j");
    for (int i = 0; i < 3; ++i) server.Queue("queryAsyncJobResult", Reply{200, {}, JobStatus("j", 0)});
    server.Queue("queryAsyncJobResult", Reply{200, {}, JobStatus("j", 1)});
    ASSERT_TRUE(operations.StartVM("", "vm"));
    EXPECT_EQ(Polls(), 4u);
    EXPECT_EQ(sleeps.Calls(), (std::vector<int>{10000, 10000, 10000}));
}

TEST_F(OperationsTest, EveryPollAsksForTheSubmittedJobAndAnAnswerAboutAnotherEndsTheWait) {
    // A number as older servers send it, and the same number as text in the status answers.
    server.Queue("stopVirtualMachine", Reply{200, {}, R"({"stopvirtualmachineresponse":{"jobid":17164}})"});
    server.Queue("queryAsyncJobResult", Reply{200, {}, JobStatus("17164", 0)});
    server.Queue("queryAsyncJobResult",
                 Reply{200, {}, R"({"queryasyncjobresultresponse":{"jobid":17164,"jobstatus":1}})"});
    ASSERT_TRUE(operations.Report(operations.StopVM("", "vm"))) << errors.strErrorMessage;
    auto polls = server.Requests("queryAsyncJobResult");
    ASSERT_EQ(polls.size(), 2u);
    EXPECT_EQ(polls[0].Param("jobid"), "17164");
    EXPECT_EQ(polls[1].Param("jobid"), "17164");

    server.ClearRequests();
    Submits("stopVirtualMachine", "mine");
    server.Queue("queryAsyncJobResult", Reply{200, {}, JobStatus("mine", 0)});
    server.Queue("queryAsyncJobResult", Reply{200, {}, JobStatus("another", 0)});
    server.Always("queryAsyncJobResult", Reply{200, {}, JobStatus("another", 1)});
    EXPECT_FALSE(operations.Report(operations.StopVM("", "vm")));
    EXPECT_EQ(errors.lErrorCode, CS_ERROR_BAD_ANSWER);
    EXPECT_EQ(errors.strErrorMessage, "the answer to queryAsyncJobResult for job mine is about another job");
    polls = server.Requests("queryAsyncJobResult");
    ASSERT_EQ(polls.size(), 2u);
    EXPECT_EQ(polls[1].Param("jobid"), "mine");
}

TEST_F(OperationsTest, AnyStatusOtherThanOneIsAFailureThatSaysWhyWithoutFurtherPolls) {
    struct Case {
        std::string body;
        long code;
        std::string message;
    };
    const std::vector<Case> cases = {
        {Fixture("queryAsyncJobResult-failure-431.json"), 431,
         "The virtual machine fcbea053-779e-4c4b-8c30-b22ece7c5b3d (web-01) is already running"},
        {Fixture("queryAsyncJobResult-cancelled-530.json"), 530,
         "job ff8a95ae-85c3-4f0c-aacf-244c8c1cc12e ended with status 2 and result code 530"},
        {JobStatus("j", -1), CS_ERROR_JOB_FAILED, "job j failed with status -1 and no error code"},
        {JobStatus("j", 2), CS_ERROR_JOB_FAILED, "job j failed with status 2 and no error code"},
    };
    for (const Case& c : cases) {
        server.ClearRequests();
        Submits("startVirtualMachine", Json::parse(c.body)["queryasyncjobresultresponse"]["jobid"].get<std::string>());
        server.Queue("queryAsyncJobResult", Reply{200, {}, c.body});
        EXPECT_FALSE(operations.Report(operations.StartVM("", "vm"))) << c.body;
        EXPECT_EQ(Polls(), 1u);
        EXPECT_EQ(errors.lErrorCode, c.code);
        EXPECT_EQ(errors.strErrorMessage, c.message);
    }
    EXPECT_TRUE(sleeps.Calls().empty());
}

TEST_F(OperationsTest, TheOperatorSetsThePollIntervalAndATimeoutThatEndsTheWait) {
    operations.SetJobPollInterval(std::chrono::milliseconds(2000));
    operations.SetJobTimeout(std::chrono::seconds(5));
    Submits("stopVirtualMachine", "j-7");
    server.Always("queryAsyncJobResult", Reply{200, {}, JobStatus("j-7", 0)});
    EXPECT_FALSE(operations.Report(operations.StopVM("", "vm")));
    // Polls at 0, 2, 4 and, after a pause cut to what is left, 5 s; then no further request.
    EXPECT_EQ(sleeps.Calls(), (std::vector<int>{2000, 2000, 1000}));
    EXPECT_EQ(Polls(), 4u);
    EXPECT_EQ(errors.lErrorCode, CS_ERROR_JOB_TIMEOUT);
    EXPECT_NE(errors.strErrorMessage.find("j-7"), std::string::npos) << errors.strErrorMessage;

    operations.SetJobTimeout(std::chrono::seconds(0));  // no limit again
    server.ClearRequests();
    Submits("stopVirtualMachine", "j");
    for (int i = 0; i < 5; ++i) server.Queue("queryAsyncJobResult", Reply{200, {}, JobStatus("j", 0)});
    server.Queue("queryAsyncJobResult", Reply{200, {}, JobStatus("j", 1)});
    EXPECT_TRUE(operations.StopVM("", "vm"));
    EXPECT_EQ(Polls(), 6u);
}

TEST_F(OperationsTest, AFailedPollEndsTheWait) {
    Submits("startVirtualMachine", "j");
    server.Queue("queryAsyncJobResult", Reply{200, {}, JobStatus("j", 0)});
    server.Queue("queryAsyncJobResult", Reply{200, {}, JobStatus("j", 0)});
    server.Queue("queryAsyncJobResult", Reply{503, {}, "<html>proxy</html>"});
    server.Always("queryAsyncJobResult", Reply{200, {}, JobStatus("j", 1)});
    EXPECT_FALSE(operations.StartVM("", "vm"));
    EXPECT_EQ(Polls(), 3u);
    EXPECT_EQ(sleeps.Calls().size(), 2u);
}

TEST_F(OperationsTest, NoPollFollowsAFailedOrUnreadablePowerAnswer) {
    server.Queue("startVirtualMachine", Reply{431, {}, Fixture("startVirtualMachine-missing-id-431.json")});
    EXPECT_FALSE(operations.StartVM("", ""));
    // No member that could be the answer; two that could.
    server.Queue("startVirtualMachine", Reply{200, {}, R"({"jobid":"j","cloudstack-version":"4.2"})"});
    EXPECT_FALSE(operations.StartVM("", "vm"));
    server.Queue("startVirtualMachine",
                 Reply{200, {}, R"({"startvmresponse":{"jobid":"j"},"stopvmresponse":{"jobid":"k"}})"});
    EXPECT_FALSE(operations.StartVM("", "vm"));
    server.Queue("stopVirtualMachine", Reply{200, {}, "not json"});
    EXPECT_FALSE(operations.StopVM("", "vm"));
    EXPECT_EQ(Polls(), 0u);
}

TEST_F(OperationsTest, TheIdIsPercentEncoded) {
    ASSERT_TRUE(operations.StartVM("", "a b&c=d"));
    EXPECT_EQ(server.Requests("startVirtualMachine")[0].Param("id"), "a b&c=d");
}

}  // namespace
