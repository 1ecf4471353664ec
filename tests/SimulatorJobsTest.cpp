#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "SimulatorTestHelpers.h"

namespace {

using namespace simtest;

const char* const kWeb01 = "fcbea053-779e-4c4b-8c30-b22ece7c5b3d";  // running, admin
const char* const kDb01 = "090d187e-928c-4318-a5c4-a61d882f83be";   // stopped, admin
const char* const kAcmeWeb01 = "4c8e2a6f-1d3b-4f5e-9a7c-0b2d4f6e8a1c";

/// Jobs that take 30 s of a clock the test turns by hand, through Handle().
class SimulatorJobsTest : public ::testing::Test {
protected:
    void SetUp() override {
        cssim::SimulatorOptions options;
        options.jobSeconds = 30;
        options.clock = clock_.Function();
        options.badLoginDelay = std::chrono::milliseconds(0);
        simulator_ = std::make_unique<cssim::Simulator>(std::move(options));
        client_ = std::make_unique<Client>(*simulator_);
        admin_ = client_->LogIn();
    }

    std::string Submit(const Session& session, const std::string& command, const std::string& id) {
        const Answer answer = client_->Call(session, "command=" + command + "&id=" + id);
        EXPECT_EQ(answer.status, 200) << answer.text;
        const json content = answer.body.begin().value();
        EXPECT_EQ(content.size(), 1u) << "only the job id: " << answer.text;
        return content.value("jobid", "");
    }

    json Query(const Session& session, const std::string& jobId) {
        return client_->Call(session, "command=queryAsyncJobResult&jobid=" + jobId).body["queryasyncjobresultresponse"];
    }

    simtest::ManualClock clock_;
    std::unique_ptr<cssim::Simulator> simulator_;
    std::unique_ptr<Client> client_;
    Session admin_;
};

// Each job takes its own 30 s from its submit, whatever else is pending: many machines stop at once.
TEST_F(SimulatorJobsTest, JobsOfManyMachinesRunAtTheSameTime) {
    const std::vector<std::string> machines = {kWeb01, "a9785615-1070-4892-a4fe-2ad5e1897cee",
                                               "7cb4efc1-2114-49fb-9519-718e75544a8c",
                                               "663fbd63-bbad-4dfb-b79e-85008d800078"};
    std::vector<std::string> jobs;
    for (const std::string& id : machines) jobs.push_back(Submit(admin_, "stopVirtualMachine", id));
    clock_.Advance(29);
    for (const std::string& job : jobs) EXPECT_EQ(Query(admin_, job)["jobstatus"], 0) << job;
    clock_.Advance(2);
    for (const std::string& job : jobs) EXPECT_EQ(Query(admin_, job)["jobstatus"], 1) << job;
    for (const char* name : {"web-01", "web-02", "db-02", "cache-01"})
        EXPECT_EQ(simulator_->MachineState(name), "Stopped");
}

TEST_F(SimulatorJobsTest, RebootIsPendingThenReportsTheRunningMachine) {
    const std::string jobId = Submit(admin_, "rebootVirtualMachine", kWeb01);
    const json pending = Query(admin_, jobId);
    EXPECT_EQ(pending["jobstatus"], 0);
    EXPECT_FALSE(pending.contains("jobresult"));
    EXPECT_EQ(pending["cmd"], "org.apache.cloudstack.api.command.admin.vm.RebootVMCmdByAdmin");
    EXPECT_EQ(simulator_->MachineState("web-01"), "Running");  // a reboot has no state of its own

    clock_.Advance(31);
    const json done = Query(admin_, jobId);
    EXPECT_EQ(done["jobstatus"], 1);
    EXPECT_EQ(done["jobresultcode"], 0);
    EXPECT_EQ(done["jobresult"]["virtualmachine"]["id"], kWeb01);
    EXPECT_EQ(done["jobresult"]["virtualmachine"]["state"], "Running");
    EXPECT_EQ(done["jobresult"]["virtualmachine"]["hostname"], "kvm-01");
}

TEST_F(SimulatorJobsTest, RebootOfAStoppedMachineFailsWith431) {
    const std::string jobId = Submit(admin_, "rebootVirtualMachine", kDb01);
    clock_.Advance(31);
    const json failed = Query(admin_, jobId);
    EXPECT_EQ(failed["jobstatus"], 2);
    EXPECT_EQ(failed["jobresultcode"], 431);
    EXPECT_EQ(failed["jobresult"]["errorcode"], 431);
    EXPECT_NE(failed["jobresult"]["errortext"].get<std::string>().find("not in Running state"), std::string::npos);
    EXPECT_EQ(simulator_->MachineState("db-01"), "Stopped");
}

TEST_F(SimulatorJobsTest, RebootWithoutOrWithUnknownIdIsRefusedAtOnce) {
    const Answer missing = client_->Call(admin_, "command=rebootVirtualMachine");
    EXPECT_EQ(missing.status, 431);
    EXPECT_EQ(missing.body["rebootvirtualmachineresponse"]["errortext"],
              "Unable to execute API command rebootvirtualmachine due to missing parameter id");
    const Answer unknown =
        client_->Call(admin_, "command=rebootVirtualMachine&id=00000000-0000-4000-8000-000000000000");
    EXPECT_EQ(unknown.status, 431);
    EXPECT_FALSE(unknown.body["rebootvirtualmachineresponse"].contains("jobid"));
}

TEST_F(SimulatorJobsTest, StoppingPassesThroughStoppingAndTakesTheVolumesAlong) {
    const std::string jobId = Submit(admin_, "stopVirtualMachine", kWeb01);
    EXPECT_EQ(simulator_->MachineState("web-01"), "Stopping");
    clock_.Advance(31);
    EXPECT_EQ(Query(admin_, jobId)["jobstatus"], 1);
    EXPECT_EQ(simulator_->MachineState("web-01"), "Stopped");
    EXPECT_EQ(simulator_->MachineHostName("web-01"), "");
    for (const auto& volume : simulator_->Snapshot().volumes) {
        if (volume.value("virtualmachineid", "") == kWeb01) {
            EXPECT_EQ(volume.value("vmstate", ""), "Stopped");
        }
    }
}

// restoreVirtualMachine answers under its older name and gives the machine a new root volume; the
// machine keeps its state.
TEST_F(SimulatorJobsTest, RestoreAnswersUnderTheOlderKeyAndReplacesTheRootVolume) {
    const auto rootVolume = [this](const std::string& vmId) -> cssim::Json {
        for (const auto& volume : simulator_->Snapshot().volumes)
            if (volume.value("virtualmachineid", "") == vmId && volume.value("type", "") == "ROOT") return volume;
        return cssim::Json();
    };
    const struct {
        const char* vm;
        const char* name;
        const char* state;
    } machines[] = {{kWeb01, "web-01", "Running"}, {kDb01, "db-01", "Stopped"}};
    for (const auto& [vm, name, state] : machines) {
        SCOPED_TRACE(name);
        const cssim::Json before = rootVolume(vm);
        ASSERT_TRUE(before.is_object());
        const Answer submitted =
            client_->Call(admin_, "command=restoreVirtualMachine&virtualmachineid=" + std::string(vm));
        ASSERT_EQ(submitted.status, 200) << submitted.text;
        ASSERT_EQ(submitted.body.size(), 1u) << submitted.text;
        const std::string jobId = submitted.body["restorevmresponse"].value("jobid", "");
        ASSERT_FALSE(jobId.empty()) << submitted.text;
        EXPECT_EQ(Query(admin_, jobId)["jobstatus"], 0);
        EXPECT_EQ(rootVolume(vm)["id"], before["id"]) << "replaced before the job ended";

        clock_.Advance(31);
        const json done = Query(admin_, jobId);
        EXPECT_EQ(done["jobstatus"], 1);
        EXPECT_EQ(done["cmd"], "org.apache.cloudstack.api.command.admin.vm.RestoreVMCmdByAdmin");
        EXPECT_EQ(done["jobresult"]["virtualmachine"]["state"], state);
        EXPECT_EQ(simulator_->MachineState(name), state);
        const cssim::Json after = rootVolume(vm);
        EXPECT_NE(after["id"], before["id"]);
        EXPECT_EQ(after["name"], before["name"]);
        EXPECT_EQ(after["size"], before["size"]);
    }
    const Answer missing = client_->Call(admin_, "command=restoreVirtualMachine&id=" + std::string(kWeb01));
    EXPECT_EQ(missing.status, 431);
    EXPECT_EQ(missing.body["restorevmresponse"]["errortext"],
              "Unable to execute API command restorevm due to missing parameter virtualmachineid");
}

TEST_F(SimulatorJobsTest, NumericJobIdsAreNumbersInEveryAnswerAndFindTheirJob) {
    cssim::SimulatorOptions options;
    options.numericJobIds = true;
    options.badLoginDelay = std::chrono::milliseconds(0);
    cssim::Simulator older(std::move(options));
    Client client(older);
    const Session admin = client.LogIn();
    const Answer submitted = client.Call(admin, "command=stopVirtualMachine&id=" + std::string(kWeb01));
    const json jobId = submitted.body["stopvirtualmachineresponse"]["jobid"];
    ASSERT_TRUE(jobId.is_number_unsigned()) << submitted.text;
    const json done =
        client.Call(admin, "command=queryAsyncJobResult&jobid=" + jobId.dump()).body["queryasyncjobresultresponse"];
    EXPECT_EQ(done["jobid"], jobId);
    EXPECT_EQ(done["jobstatus"], 1);
    const json next = client.Call(admin, "command=startVirtualMachine&id=" + std::string(kWeb01))
                          .body["startvirtualmachineresponse"]["jobid"];
    EXPECT_EQ(next, jobId.get<unsigned long long>() + 1);
}

TEST_F(SimulatorJobsTest, UserActsOnItsOwnMachinesOnly) {
    const Session jane = client_->LogIn("jane", "acme-password", "&domain=ROOT/customers/acme");
    const Answer refused = client_->Call(jane, "command=stopVirtualMachine&id=" + std::string(kWeb01));
    EXPECT_EQ(refused.status, 531);
    EXPECT_EQ(refused.body["stopvirtualmachineresponse"]["errorcode"], 531);
    EXPECT_EQ(simulator_->MachineState("web-01"), "Running");

    const std::string jobId = Submit(jane, "stopVirtualMachine", kAcmeWeb01);
    clock_.Advance(31);
    const json done = Query(jane, jobId);
    EXPECT_EQ(done["jobstatus"], 1);
    EXPECT_EQ(done["account"], "acme");
    EXPECT_EQ(done["domainpath"], "ROOT/customers/acme");
    EXPECT_EQ(done["cmd"], "org.apache.cloudstack.api.command.user.vm.StopVMCmd");
}

}  // namespace
