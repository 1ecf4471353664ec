// Fault cases of the job wait: a status answer that holds no usable status must end the wait as
// a failure after one poll, never read as "pending" and polled for ever. The sleep between polls
// is recorded, not slept.

#include "FaultHarness.h"

namespace faults {
namespace {

std::string JobAnswer(const std::string& members) {
    return R"({"queryasyncjobresultresponse":{"jobid":"j-1",)" + members + "}}";
}

class FaultJobTest : public FaultTest {
protected:
    void SetUp() override {
        FaultTest::SetUp();
        server.Always("startVirtualMachine", Reply{200, {}, R"({"startvirtualmachineresponse":{"jobid":"j-1"}})"});
        server.Always("stopVirtualMachine", Reply{200, {}, R"({"stopvirtualmachineresponse":{"jobid":"j-1"}})"});
    }

    // Start and stop alike: one status answer, then false after exactly one poll and no pause.
    void ExpectOnePollFailure(const std::string& statusAnswer, long code, const std::string& needle) {
        for (const bool start : {true, false}) {
            log.Clear();
            server.ClearRequests();
            server.Queue("queryAsyncJobResult", Reply{200, {}, statusAnswer});
            const bool result = Run([&] { return start ? operations.StartVM("", "vm") : operations.StopVM("", "vm"); });
            ExpectFailure(result, code, {needle});
            EXPECT_EQ(server.Requests("queryAsyncJobResult").size(), 1u) << statusAnswer;
            EXPECT_TRUE(sleeps.Calls().empty()) << statusAnswer;
        }
    }
};

TEST_F(FaultJobTest, AnswerWithoutAStatusEndsTheWait) {
    ExpectOnePollFailure(JobAnswer(R"("jobprocstatus":0,"jobresultcode":0)"), CS_ERROR_BAD_ANSWER,
                         "job j-1: the answer holds no job status");
    ExpectOnePollFailure(R"({"queryasyncjobresultresponse":{}})", CS_ERROR_BAD_ANSWER, "holds no job status");
}

TEST_F(FaultJobTest, StatusThatIsNoIntegerEndsTheWait) {
    for (const char* status : {R"("pending")", "0.0", "true", "null", "[0]", R"({"n":0})", R"("")",
                               "123456789012345678901234567890", "-123456789012345678901234567890"}) {
        ExpectOnePollFailure(JobAnswer(std::string(R"("jobstatus":)") + status), CS_ERROR_BAD_ANSWER,
                             "holds no job status");
    }
}

TEST_F(FaultJobTest, StatusBeyondAnIntegerEndsTheWait) {
    ExpectOnePollFailure(JobAnswer(R"("jobstatus":99999999999)"), CS_ERROR_BAD_ANSWER,
                         "Exception parsing json obj [queryasyncjobresultresponse]");
}

TEST_F(FaultJobTest, ErrorEnvelopeInsideA200EndsTheWaitWithItsCode) {
    ExpectOnePollFailure(R"({"queryasyncjobresultresponse":{"uuidList":[],"errorcode":530,"errortext":"db down"}})",
                         530, "API error 530: db down");
    EXPECT_EQ(errors.strErrorMessage, "db down");
}

TEST_F(FaultJobTest, StatusAnswerThatIsNoJsonOrNestsTooDeepEndsTheWait) {
    ExpectOnePollFailure("<html>gateway timeout</html>", CS_ERROR_BAD_ANSWER, "not a JSON object");
    ExpectOnePollFailure(JobAnswer(R"("jobstatus":0,"jobresult":)" + std::string(100000, '[')), CS_ERROR_BAD_ANSWER,
                         "deeper than 256 levels");
}

TEST_F(FaultJobTest, PowerAnswerThatIsNoJobEndsBeforeAnyPoll) {
    for (const std::string& answer :
         {std::string("not json"), std::string(R"({"startvirtualmachineresponse":[]})"), std::string(1000000, '{')}) {
        log.Clear();
        server.ClearRequests();
        server.Queue("startVirtualMachine", Reply{200, {}, answer});
        ExpectFailure(Run([&] { return operations.StartVM("", "vm"); }), CS_ERROR_BAD_ANSWER,
                      {"[startvirtualmachineresponse]"});
        EXPECT_TRUE(server.Requests("queryAsyncJobResult").empty());
    }
}

TEST_F(FaultJobTest, PowerAnswerWithoutAJobIdAPollCanAskForEndsBeforeAnyPoll) {
    const struct {
        const char* member;
        const char* why;
    } answers[] = {
        {"", "holds no job id"},
        {R"("jobid":"")", "holds no job id"},
        {R"("jobid":null)", "holds no job id"},
        {R"("jobid":1.5)", "holds a job id that no poll can ask for"},
        {R"("jobid":-3)", "holds a job id that no poll can ask for"},
        {R"("jobid":123456789012345678901234567890)", "holds a job id that no poll can ask for"},
        {R"("jobid":{"id":"j-1"})", "holds a job id that no poll can ask for"},
        {R"("jobid":"j\u0000-1")", "holds a job id that no poll can ask for"},
    };
    for (const auto& answer : answers) {
        SCOPED_TRACE(answer.member);
        log.Clear();
        server.ClearRequests();
        server.Queue("stopVirtualMachine",
                     Reply{200, {}, std::string(R"({"stopvirtualmachineresponse":{)") + answer.member + "}}"});
        ExpectFailure(Run([&] { return operations.StopVM("", "vm"); }), CS_ERROR_BAD_ANSWER,
                      {std::string("the answer to stopVirtualMachine ") + answer.why});
        EXPECT_TRUE(server.Requests("queryAsyncJobResult").empty());
    }
}

TEST_F(FaultJobTest, AJobThatFailsOnTheServerEndsWithItsCodeAndOneLine) {
    ExpectOnePollFailure(JobAnswer(R"("jobstatus":2,"jobresultcode":530,"jobresult":{"errorcode":530,)"
                                   R"("errortext":"host went away"})"),
                         530, "job j-1 failed (530): host went away");
    ExpectOnePollFailure(JobAnswer(R"("jobstatus":2,"jobresultcode":530)"), 530,
                         "job j-1 failed (530): job j-1 ended with status 2 and result code 530");
    ExpectOnePollFailure(JobAnswer(R"("jobstatus":3,"jobresult":{"errortext":"lost"})"), CS_ERROR_JOB_FAILED,
                         "job j-1 failed (-11): job j-1 failed without an error code: lost");
}

TEST_F(FaultJobTest, AJobPendingForEverEndsAtTheJobTimeOut) {
    server.Always("queryAsyncJobResult", Reply{200, {}, JobAnswer(R"("jobstatus":0)")});
    operations.SetJobTimeout(std::chrono::seconds(60));
    ExpectFailure(Run([&] { return operations.StopVM("", "vm"); }), CS_ERROR_JOB_TIMEOUT,
                  {"job j-1 still pending after 60 s"});
    // Six pauses of the default ten seconds; the recorded sleep lets no real time pass.
    EXPECT_EQ(sleeps.TotalMs(), 60000);
    EXPECT_EQ(server.Requests("queryAsyncJobResult").size(), 7u);
    ExpectAlive();
}

}  // namespace
}  // namespace faults
