// End-to-end tests of cloudstack-cli against the scripted, recording test server in this process:
// what the client sends (login, domain, key pair, logout, api parameters, endpoint forms), the
// line it prints for a server's refusal or an unreachable server, and how every output path shows
// a hostile server's text.

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "CliHarness.h"
#include "HostileText.h"

namespace {

using namespace clitest;

// Percent-decoding of a form body, '+' as a blank, as the server reads it.
std::map<std::string, std::string> FormFields(const std::string& body) {
    std::map<std::string, std::string> fields;
    std::size_t start = 0;
    while (start <= body.size()) {
        std::size_t end = body.find('&', start);
        if (end == std::string::npos) end = body.size();
        const std::string pair = body.substr(start, end - start);
        const std::size_t equals = pair.find('=');
        std::string decoded[2];
        const std::string parts[2] = {pair.substr(0, equals),
                                      equals == std::string::npos ? "" : pair.substr(equals + 1)};
        for (int p = 0; p < 2; ++p) {
            for (std::size_t i = 0; i < parts[p].size(); ++i) {
                if (parts[p][i] == '%' && i + 2 < parts[p].size()) {
                    decoded[p] += static_cast<char>(std::stoi(parts[p].substr(i + 1, 2), nullptr, 16));
                    i += 2;
                } else {
                    decoded[p] += parts[p][i] == '+' ? ' ' : parts[p][i];
                }
            }
        }
        if (!pair.empty()) fields[decoded[0]] = decoded[1];
        start = end + 1;
    }
    return fields;
}

// The value of @p name in the request's query or form body.
std::string Parameter(const cstest::RecordedRequest& request, const std::string& name) {
    if (request.Has(name)) return request.Param(name);
    const auto fields = FormFields(request.body);
    const auto it = fields.find(name);
    return it == fields.end() ? "" : it->second;
}

class CliWireTest : public CliServerTest {
protected:
    std::vector<std::string> Commands() const {
        std::vector<std::string> commands;
        for (const cstest::RecordedRequest& request : server_.Requests()) commands.push_back(request.Command());
        return commands;
    }
};

TEST_F(CliWireTest, PasswordLoginSendsTheDomainAndLogsOutAtExit) {
    RunResult run = Cli({"zones"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(Commands(), (std::vector<std::string>{"login", "listZones", "logout"}));

    server_.ClearRequests();
    run = Cli({"zones", "--domain", "/"});
    ASSERT_EQ(run.status, 0) << run.err;
    ASSERT_FALSE(server_.Requests("login").empty());
    EXPECT_EQ(Parameter(server_.Requests("login").front(), "domain"), "/");

    server_.ClearRequests();
    run = Cli({"zones", "--domain", "ROOT/customers/acme"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "cloudstack-cli: wrong user name, password or domain (531)\n");
    ASSERT_FALSE(server_.Requests("login").empty());
    EXPECT_EQ(Parameter(server_.Requests("login").front(), "domain"), "ROOT/customers/acme");
}

TEST_F(CliWireTest, WrongPasswordPrintsTheLoginLineAndNothingSecret) {
    server_.SetCredentials("admin", "other");
    const RunResult run = Cli({"zones"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "cloudstack-cli: wrong user name or password (531)\n");
}

TEST_F(CliWireTest, KeyPairSignsEveryRequestInsteadOfLoggingIn) {
    server_.Always("listCapabilities",
                   Answer(200, R"({"listcapabilitiesresponse":{"capability":{"cloudstackversion":"4.20.1.0"}}})"));
    server_.Always("listZones", Answer(200, cstest::Fixture("listZones.json")));
    const std::string secret = "SECRET-never-on-the-wire-0123456789";
    const auto expectSigned = [&](const RunResult& run, const std::string& key) {
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_TRUE(Contains(run.out, "zone-eu1")) << run.out;
        EXPECT_TRUE(server_.Requests("login").empty()) << "a key pair needs no login";
        EXPECT_FALSE(server_.Requests("listZones").empty());
        for (const cstest::RecordedRequest& request : server_.Requests()) {
            EXPECT_EQ(Parameter(request, "apikey"), key) << request.target;
            EXPECT_NE(Parameter(request, "signature"), "") << request.target;
            EXPECT_FALSE(Contains(request.target + request.body, secret)) << request.target;
        }
        EXPECT_FALSE(Contains(run.err, secret));
        server_.ClearRequests();
    };
    const std::string address = server_.Address();

    SCOPED_TRACE("CLOUDSTACK_API_KEY and CLOUDSTACK_SECRET_KEY, before the shorter names");
    expectSigned(CliWith({{"CLOUDSTACK_SERVER", address},
                          {"CLOUDSTACK_API_KEY", "key-1"},
                          {"CLOUDSTACK_SECRET_KEY", secret},
                          {"CLOUDSTACK_KEY", "key-2"},
                          {"CLOUDSTACK_SECRET", "other"}},
                         {"zones"}),
                 "key-1");
    SCOPED_TRACE("CLOUDSTACK_KEY, CLOUDSTACK_SECRET and CLOUDSTACK_ENDPOINT");
    expectSigned(CliWith({{"CLOUDSTACK_ENDPOINT", "http://" + address + ":8080/client/api"},
                          {"CLOUDSTACK_KEY", "key-2"},
                          {"CLOUDSTACK_SECRET", secret}},
                         {"zones"}),
                 "key-2");

    SCOPED_TRACE("the config file");
    const std::string config = WriteFile("keys.ini", "[cloudstack]\nendpoint = http://" + address +
                                                         ":8080/client/api\nkey = key-3\nsecret = " + secret + "\n");
    expectSigned(CliWith({{"CLOUDSTACK_CONFIG", config}}, {"zones"}), "key-3");

    SCOPED_TRACE("a password in the environment beats the file's key pair");
    RunResult run = CliWith({{"CLOUDSTACK_CONFIG", config}, {"CLOUDSTACK_PASSWORD", "password"}}, {"zones"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(server_.Requests("login").size(), 1u);
    server_.ClearRequests();

    SCOPED_TRACE("--user on the command line beats the environment's key pair");
    run = CliWith({{"CLOUDSTACK_SERVER", address},
                   {"CLOUDSTACK_API_KEY", "key-1"},
                   {"CLOUDSTACK_SECRET_KEY", secret},
                   {"CLOUDSTACK_PASSWORD", "password"}},
                  {"zones", "--user", "admin"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(server_.Requests("login").size(), 1u);
    std::remove(config.c_str());
}

TEST_F(CliWireTest, RefusedKeyPairSaysSo) {
    server_.Always("listCapabilities",
                   Answer(401, R"({"listcapabilitiesresponse":{"uuidList":[],"errorcode":401,)"
                               R"("errortext":"unable to verify user credentials and/or request signature"}})"));
    const RunResult run =
        CliWith({{"CLOUDSTACK_SERVER", server_.Address()}, {"CLOUDSTACK_API_KEY", "k"}, {"CLOUDSTACK_SECRET_KEY", "s"}},
                {"zones"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "cloudstack-cli: the server refused the API key or its secret key (401)\n");
}

// The same refusal from a server whose clock is 20 minutes ahead of this host's as it answers: the keys are not
// to blame.
TEST_F(CliWireTest, RefusedKeyPairOfAHostWhoseClockIsOffSaysSo) {
    server_.SetHandler([](const cstest::RecordedRequest& request) -> std::optional<cstest::Reply> {
        if (request.Command() != "listCapabilities") return std::nullopt;
        const std::time_t when =
            std::chrono::system_clock::to_time_t(std::chrono::system_clock::now() + std::chrono::minutes(20));
        std::tm utc{};
        gmtime_r(&when, &utc);
        char date[64];
        std::strftime(date, sizeof date, "%a, %d %b %Y %H:%M:%S GMT", &utc);
        return cstest::Reply{401, {{"Date", date}}, cstest::Fixture("error-401-no-session.json")};
    });
    const RunResult skewed =
        CliWith({{"CLOUDSTACK_SERVER", server_.Address()}, {"CLOUDSTACK_API_KEY", "k"}, {"CLOUDSTACK_SECRET_KEY", "s"}},
                {"zones"});
    EXPECT_EQ(skewed.status, 1);
    EXPECT_EQ(skewed.err.rfind("cloudstack-cli: the server refused (401): the server's clock and this host's differ "
                               "by ",
                               0),
              0u)
        << skewed.err;
    EXPECT_TRUE(Contains(skewed.err, "(the server's is ahead); signed requests expire after 600 s\n")) << skewed.err;
}

// The answers real servers give, through `api`: what it prints and exits with, from one request of the
// command (nothing retried) and a poll only where a job was named.
TEST_F(CliWireTest, ApiReadsEveryAnswerShapeFromTheOneRequestItSent) {
    const std::string machine = R"({"virtualmachine":{"id":"vm-1","state":"Running"}})";
    const auto status = [](const std::string& jobMember, int jobStatus, const std::string& rest = "") {
        return R"({"queryasyncjobresultresponse":{"jobid":)" + jobMember +
               ",\"jobstatus\":" + std::to_string(jobStatus) + rest + "}}";
    };
    const struct {
        const char* what;
        std::vector<std::string> args;  // after "api"
        std::string answer;             // HTTP 200
        std::string poll;               // the answer to every poll; empty: none may come
        int exit;
        std::string out;  // exit 0: the JSON printed; otherwise a part of the error line
    } shapes[] = {
        {"an older command's key, as a job",
         {"restoreVirtualMachine", "virtualmachineid=vm-1"},
         R"({"restorevmresponse":{"jobid":"j-1"}})",
         status("\"j-1\"", 1, ",\"jobresult\":" + machine),
         0,
         machine},
        {"an older key beside the server's version",
         {"assignVirtualMachine", "virtualmachineid=vm-1", "account=ops"},
         R"({"cloudstack-version":"4.5.1","moveuservmresponse":{"virtualmachine":{"id":"vm-1"}}})",
         "",
         0,
         R"({"virtualmachine":{"id":"vm-1"}})"},
        {"a list command whose answer holds no list",
         {"listCapabilities"},
         R"({"listcapabilitiesresponse":{"capability":{"cloudstackversion":"4.20.1.0"}}})",
         "",
         0,
         R"({"capability":{"cloudstackversion":"4.20.1.0"}})"},
        {"a list with nothing in it",
         {"listTemplates", "templatefilter=self"},
         R"({"listtemplatesresponse":{}})",
         "",
         0,
         "[]"},
        {"a job id that is a number",
         {"deployVirtualMachine", "zoneid=z"},
         R"({"deployvirtualmachineresponse":{"id":"vm-1","jobid":17164}})",
         status("17164", 1, ",\"jobresult\":" + machine),
         0,
         machine},
        {"two members that could be the answer",
         {"restoreVirtualMachine", "virtualmachineid=vm-1"},
         R"({"restorevmresponse":{"jobid":"j-1"},"moveuservmresponse":{}})",
         "",
         1,
         "restoreVirtualMachine: the answer to restoreVirtualMachine is not what it should be"},
        {"an error envelope in a 200",
         {"purgeTheCloud"},
         R"({"errorresponse":{"errorcode":432,"errortext":"Unknown API command: purgeTheCloud"}})",
         "",
         1,
         "purgeTheCloud: the server refused (432): Unknown API command: purgeTheCloud"},
        {"a job that fails without a code",
         {"rebootVirtualMachine", "id=vm-1"},
         R"({"rebootvirtualmachineresponse":{"jobid":"j-2"}})",
         status("\"j-2\"", 2),
         1,
         "rebootVirtualMachine: job j-2 failed with status 2 and no error code"},
        {"a status answer about another job",
         {"rebootVirtualMachine", "id=vm-1"},
         R"({"rebootvirtualmachineresponse":{"jobid":"j-3"}})",
         status("\"j-4\"", 1),
         1,
         "rebootVirtualMachine: following job j-3: the answer to queryAsyncJobResult for job j-3 is about another job"},
        {"a status beyond 64 bits",
         {"rebootVirtualMachine", "id=vm-1"},
         R"({"rebootvirtualmachineresponse":{"jobid":"j-5"}})",
         R"({"queryasyncjobresultresponse":{"jobid":"j-5","jobstatus":123456789012345678901234567890}})",
         1,
         "rebootVirtualMachine: following job j-5: the answer to queryAsyncJobResult for job j-5 holds no job status"},
    };
    for (const auto& shape : shapes) {
        SCOPED_TRACE(shape.what);
        const std::string& command = shape.args.front();
        server_.Always(command, Answer(200, shape.answer));
        server_.Always("queryAsyncJobResult", Answer(200, shape.poll));
        server_.ClearRequests();
        std::vector<std::string> args = {"api"};
        args.insert(args.end(), shape.args.begin(), shape.args.end());
        const RunResult run = Cli(args);
        EXPECT_EQ(run.status, shape.exit) << run.err;
        if (shape.exit == 0) {
            EXPECT_EQ(Json::parse(run.out, nullptr, false), Json::parse(shape.out)) << run.out;
        } else {
            EXPECT_EQ(run.out, "");
            ASSERT_EQ(Lines(run.err).size(), 1u) << run.err;
            EXPECT_TRUE(Contains(run.err, "cloudstack-cli: " + shape.out)) << run.err;
        }
        EXPECT_EQ(server_.Requests(command).size(), 1u);
        const auto polls = server_.Requests("queryAsyncJobResult");
        ASSERT_EQ(polls.size(), shape.poll.empty() ? 0u : 1u);
        if (!polls.empty()) {
            // The job the answer named, text or number.
            const Json id = Json::parse(shape.answer).begin().value()["jobid"];
            EXPECT_EQ(polls[0].Param("jobid"), id.is_string() ? id.get<std::string>() : id.dump());
        }
    }
}

// --raw of one request prints the server's own bytes: its member order, number forms and escapes.
TEST_F(CliWireTest, RawPrintsTheAnswerObjectByteForByte) {
    const std::string zones = R"({ "zone": [{"name":"caf\u00e9", "id":"z\/1"}], "count": 1 })";
    const std::string capabilities = R"({"capability":{"zeta":1.50,"alpha":"a\/b"}})";
    server_.Always("listZones", Answer(200, R"({"listzonesresponse":)" + zones + "}"));
    server_.Always("listCapabilities", Answer(200, R"({"listcapabilitiesresponse":)" + capabilities + "}"));
    RunResult run = Cli({"api", "listZones", "--raw"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, zones + "\n");
    run = Cli({"list", "capabilities", "--raw"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, capabilities + "\n");
}

TEST_F(CliWireTest, ApiValuesTravelIntact) {
    const std::string keyword = "a b=c&d+e ü%20";
    const RunResult run = Cli({"api", "listVirtualMachines", "keyword=" + keyword, "listall=true"});
    EXPECT_EQ(run.status, 0) << run.err;
    const auto lists = server_.Requests("listVirtualMachines");
    ASSERT_FALSE(lists.empty());
    EXPECT_EQ(Parameter(lists.front(), "keyword"), keyword) << lists.front().target;
    EXPECT_EQ(Parameter(lists.front(), "listall"), "true") << lists.front().target;
}

// VERB NOUN [name=value ...] is an API command as other clients name it; -p picks the config file's section;
// filter= only chooses columns; after sync the server's catalogue gives the letter case and the checks.
TEST_F(CliWireTest, TwoWordGrammarMapsOntoApiCommands) {
    std::filesystem::remove_all(CacheDirectory());
    const std::string vm = "fcbea053-779e-4c4b-8c30-b22ece7c5b3d";
    const std::string address = server_.Address();
    const std::string config = WriteFile(
        "profiles.ini", "[cloudstack]\nendpoint = http://" + address + ":8081/client/api\npassword = password\n" +
                            "[lab]\nendpoint = http://" + address + ":8080/client/api\npassword = password\n");
    const struct {
        std::vector<std::string> args;
        bool synced;                       // run after `sync`
        bool profile;                      // the environment names no server: only [lab] reaches this one
        std::string command;               // what the server received; empty: nothing at all
        std::vector<std::string> sent;     // name=value pairs it received
        std::vector<std::string> notSent;  // names it must not see
    } rows[] = {
        {{"list", "virtualmachines", "state=Running"}, false, false, "listVirtualMachines", {"state=Running"}, {}},
        {{"LIST", "VirtualMachines", "listall=true"}, false, false, "listVirtualMachines", {"listall=true"}, {}},
        {{"start", "virtualmachine", "id=" + vm}, false, false, "startVirtualMachine", {"id=" + vm}, {}},
        {{"query", "asyncjobresult", "jobid=" + vm}, false, false, "queryAsyncJobResult", {"jobid=" + vm}, {}},
        {{"list", "serviceOfferings"}, false, false, "listServiceOfferings", {}, {}},
        {{"list", "zones", "filter=name,id", "-o", "json"}, false, false, "listZones", {}, {"filter"}},
        {{"-p", "lab", "list", "hosts", "state=Up"}, false, true, "listHosts", {"state=Up"}, {}},
        {{"api", "listVirtualMachines", "page=2", "pagesize=1"},
         false,
         false,
         "listVirtualMachines",
         {"page=2", "pagesize=1"},
         {}},
        {{"list", "serviceofferings"}, true, false, "listServiceOfferings", {}, {}},
        {{"start", "virtualmachine"}, true, false, "", {}, {}},
    };
    bool synced = false;
    for (const auto& row : rows) {
        SCOPED_TRACE(::testing::PrintToString(row.args));
        if (row.synced && !synced) {
            ASSERT_EQ(Cli({"sync"}).status, 0);
            synced = true;
        }
        server_.ClearRequests();
        const RunResult run = row.profile ? CliWith({{"CLOUDSTACK_CONFIG", config}}, row.args) : Cli(row.args);
        if (row.command.empty()) {
            EXPECT_EQ(run.status, 2) << run.err;
            EXPECT_EQ(server_.Count(), 0u) << "refused, yet " << server_.Requests().front().target;
            continue;
        }
        std::vector<std::string> commands = Commands();
        ASSERT_GE(commands.size(), 3u) << run.err;  // login, the command, (its job's poll,) logout
        EXPECT_EQ(commands[1], row.command) << run.err;
        const cstest::RecordedRequest request = server_.Requests()[1];
        for (const std::string& pair : row.sent) {
            const std::size_t equals = pair.find('=');
            EXPECT_EQ(Parameter(request, pair.substr(0, equals)), pair.substr(equals + 1)) << request.target;
        }
        for (const std::string& name : row.notSent)
            EXPECT_FALSE(request.Has(name) || Contains(request.body, name + "=")) << request.target;
    }
    std::remove(config.c_str());
    std::filesystem::remove_all(CacheDirectory());
}

TEST_F(CliWireTest, ServerTakesUrlsAndHostPortAndTheEnvironmentBeatsTheFile) {
    const std::string address = server_.Address();
    for (const std::string& server :
         {"http://" + address + ":8080/client/api", "http://" + address + ":8080", address + ":8080"}) {
        SCOPED_TRACE(server);
        const RunResult run = CliWith({{"CLOUDSTACK_PASSWORD", "password"}}, {"zones", "--server", server});
        EXPECT_EQ(run.status, 0) << run.err;
        ASSERT_FALSE(server_.Requests("listZones").empty());
        EXPECT_EQ(server_.Requests("listZones").back().path, "/client/api");
    }
    const std::string config = WriteFile(
        "endpoint.ini", "[cloudstack]\nendpoint = http://" + address + ":8081/client/api\npassword = password\n");
    RunResult run =
        CliWith({{"CLOUDSTACK_CONFIG", config}, {"CLOUDSTACK_ENDPOINT", "http://" + address + ":8080"}}, {"zones"});
    EXPECT_EQ(run.status, 0) << run.err;
    run = CliWith({{"CLOUDSTACK_CONFIG", config},
                   {"CLOUDSTACK_SERVER", address},
                   {"CLOUDSTACK_ENDPOINT", "http://" + address + ":8081"}},
                  {"zones"});
    EXPECT_EQ(run.status, 0) << run.err;
    std::remove(config.c_str());
}

TEST_F(CliWireTest, UnreachableOrUnusableServerSaysWhich) {
    const std::string address = server_.Address();
    RunResult run = Cli({"zones", "--server", "http://" + address + ":8081/client/api"});
    EXPECT_EQ(run.status, 1);
    ASSERT_EQ(Lines(run.err).size(), 1u) << run.err;
    EXPECT_EQ(run.err.rfind("cloudstack-cli: cannot connect to " + address + ":8081: ", 0), 0u) << run.err;

    run = Cli({"zones", "--server", "ftp://" + address + "/"});
    EXPECT_EQ(run.status, 2) << run.err;
    EXPECT_EQ(Lines(run.err).size(), 1u) << run.err;
    EXPECT_TRUE(server_.Requests().empty());
}

TEST_F(CliWireTest, FailedListAndFailedJobQuoteTheServer) {
    server_.Always("listHosts", Answer(530, R"({"listhostsresponse":{"uuidList":[],"errorcode":530,)"
                                            R"("cserrorcode":4250,"errortext":"Internal error"}})"));
    RunResult run = Cli({"hosts"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "cloudstack-cli: listing hosts: the server refused (530): Internal error\n");

    // The stop answer names the job that the failure answer is about.
    server_.Always("stopVirtualMachine", Answer(200, R"({"stopvirtualmachineresponse":)"
                                                     R"({"jobid":"274e617b-2c13-4908-8abb-dd1ab2b5fe95"}})"));
    server_.Always("queryAsyncJobResult", Answer(200, cstest::Fixture("queryAsyncJobResult-failure-533.json")));
    run = Cli({"stop", "--name", "web-01"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err,
              "cloudstack-cli: stop web-01: the server refused (533): Unable to create a deployment for VM instance "
              "{...}\n");
}

// ---------------------------------------------------------------------------------------------
// A hostile server's text on every output path: the table of tests/support/HostileText.h

class CliHostileTextTest : public CliWireTest {
protected:
    // The texts that a JSON answer can carry (valid UTF-8).
    static std::vector<cstest::HostileText> JsonTexts() {
        std::vector<cstest::HostileText> texts;
        for (const cstest::HostileText& hostile : cstest::HostileTexts())
            if (hostile.json) texts.push_back(hostile);
        return texts;
    }

    // All of them in one text, as the server sends it or as it must show.
    static std::string Joined(bool shown) {
        std::string joined;
        for (const cstest::HostileText& hostile : JsonTexts()) joined += (shown ? hostile.shown : hostile.text) + "|";
        return joined;
    }

    static std::string Id(std::size_t i) {
        char id[40];
        std::snprintf(id, sizeof id, "7e1c0000-0000-4000-8000-%012zu", i);
        return id;
    }

    // Nothing a terminal would run, in what the client wrote on either stream.
    static void ExpectShownSafely(const RunResult& run) {
        EXPECT_EQ(cstest::FirstUnsafe(run.out, "\n"), std::string::npos) << run.out;
        EXPECT_EQ(cstest::FirstUnsafe(run.err, "\n"), std::string::npos) << run.err;
    }

    // One machine, named with every text, that stops through a job.
    void ServeMachine() {
        const Json vm = {{"id", Id(0)}, {"name", Joined(false)}, {"displayname", Joined(false)}, {"state", "Running"}};
        server_.Always(
            "listVirtualMachines",
            Answer(
                200,
                Json{{"listvirtualmachinesresponse", {{"count", 1}, {"virtualmachine", Json::array({vm})}}}}.dump()));
        server_.Always("stopVirtualMachine",
                       Answer(200, Json{{"stopvirtualmachineresponse", {{"jobid", Joined(false)}}}}.dump()));
        server_.Always("queryAsyncJobResult", Answer(200, Json{{"queryasyncjobresultresponse",
                                                                {{"jobid", Joined(false)},
                                                                 {"jobstatus", 1},
                                                                 {"jobresultcode", 0},
                                                                 {"jobresult", {{"virtualmachine", vm}}}}}}
                                                              .dump()));
    }
};

TEST_F(CliHostileTextTest, ListsShowEscapesGuardCsvCellsAndKeepJsonExact) {
    const std::vector<cstest::HostileText> texts = JsonTexts();
    Json zones = Json::array();
    for (std::size_t i = 0; i < texts.size(); ++i)
        zones.push_back({{"id", Id(i)}, {"name", texts[i].text}, {"allocationstate", "Enabled"}});
    server_.Always("listZones",
                   Answer(200, Json{{"listzonesresponse", {{"count", texts.size()}, {"zone", zones}}}}.dump()));

    SCOPED_TRACE("a table: one line per zone, its name shown");
    RunResult run = Cli({"zones"});
    ASSERT_EQ(run.status, 0) << run.err;
    ExpectShownSafely(run);
    const std::vector<std::string> lines = Lines(run.out);
    ASSERT_EQ(lines.size(), texts.size() + 1) << run.out;
    for (std::size_t i = 0; i < texts.size(); ++i) {
        EXPECT_EQ(lines[i + 1].rfind(texts[i].shown + "  ", 0), 0u) << texts[i].what << ": " << lines[i + 1];
        EXPECT_TRUE(Contains(lines[i + 1], Id(i))) << lines[i + 1];
    }

    SCOPED_TRACE("CSV: cells shown and guarded; with --csv-raw exactly the server's");
    for (const bool raw : {false, true}) {
        run = raw ? Cli({"zones", "--output", "csv", "--csv-raw"}) : Cli({"zones", "--output", "csv"});
        ASSERT_EQ(run.status, 0) << run.err;
        if (!raw) ExpectShownSafely(run);
        const std::vector<std::vector<std::string>> rows = ParseCsv(run.out);
        ASSERT_EQ(rows.size(), texts.size() + 1) << run.out;
        ASSERT_EQ(rows[0][0], "name");
        for (std::size_t i = 0; i < texts.size(); ++i)
            EXPECT_EQ(rows[i + 1][0], raw ? texts[i].text : texts[i].csv) << texts[i].what;
    }

    SCOPED_TRACE("JSON: the exact text, every control written as an escape");
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"zones", "--json"}, std::vector<std::string>{"api", "listZones"}}) {
        run = Cli(args);
        ASSERT_EQ(run.status, 0) << run.err;
        ExpectShownSafely(run);
        const Json printed = Json::parse(run.out, nullptr, false);
        ASSERT_TRUE(printed.is_array()) << run.out;
        ASSERT_EQ(printed.size(), texts.size());
        for (std::size_t i = 0; i < texts.size(); ++i) EXPECT_EQ(printed[i]["name"], texts[i].text) << texts[i].what;
    }
}

TEST_F(CliHostileTextTest, AttributeNamesShowEscapedAsHeadingsOfTablesAndCsv) {
    const std::vector<cstest::HostileText> texts = JsonTexts();
    // A table shows at most seven attributes it does not know, so six names at a time.
    for (std::size_t first = 0; first < texts.size(); first += 6) {
        Json object = Json::object();
        for (std::size_t i = first; i < std::min(first + 6, texts.size()); ++i) object[texts[i].text] = "v";
        server_.Always("getHostile", Answer(200, Json{{"gethostileresponse", object}}.dump()));

        RunResult run = Cli({"api", "getHostile", "--output", "table"});
        ASSERT_EQ(run.status, 0) << run.err;
        ExpectShownSafely(run);
        EXPECT_EQ(Lines(run.out).size(), 2u) << run.out;

        run = Cli({"api", "getHostile", "--output", "csv"});
        ASSERT_EQ(run.status, 0) << run.err;
        ExpectShownSafely(run);
        const std::vector<std::vector<std::string>> rows = ParseCsv(run.out);
        ASSERT_EQ(rows.size(), 2u) << run.out;
        for (std::size_t i = first; i < std::min(first + 6, texts.size()); ++i)
            EXPECT_NE(std::find(rows[0].begin(), rows[0].end(), texts[i].csv), rows[0].end()) << texts[i].what;
    }
}

TEST_F(CliHostileTextTest, ShowPowerLinesJobIdsStatusLinesAndErrorLinesShowEscapes) {
    ServeMachine();
    const std::string shown = Joined(true);

    SCOPED_TRACE("show: one line per field");
    RunResult run = Cli({"show", "vm", "--id", Id(0)});
    ASSERT_EQ(run.status, 0) << run.err;
    ExpectShownSafely(run);
    std::map<std::string, std::string> fields = ShownFields(run.out);
    EXPECT_EQ(fields["Name"], shown);
    EXPECT_EQ(fields["Display name"], shown);

    SCOPED_TRACE("the success line, and the status line on a terminal");
    run = RunProgram(CliOnATerminal({"stop", "--id", Id(0)}));
    EXPECT_EQ(run.status, 0) << run.terminal;
    EXPECT_EQ(run.out, shown + " stopped.\n");
    EXPECT_TRUE(Contains(run.terminal, "Stopping " + shown + " ... ")) << run.terminal;
    // Apart from the client's own "rewrite the line", nothing a terminal would run.
    std::string terminal = run.terminal;
    for (std::size_t at; (at = terminal.find("\r\x1b[K")) != std::string::npos;) terminal.erase(at, 4);
    EXPECT_EQ(cstest::FirstUnsafe(terminal, "\n"), std::string::npos) << terminal;

    SCOPED_TRACE("the job id of --no-wait");
    run = Cli({"stop", "--id", Id(0), "--no-wait"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, shown + "\n");

    SCOPED_TRACE("the job's error text, through the library's last error (300 bytes at most)");
    server_.Always("queryAsyncJobResult",
                   Answer(200, Json{{"queryasyncjobresultresponse",
                                     {{"jobid", Joined(false)},
                                      {"jobstatus", 2},
                                      {"jobresultcode", 530},
                                      {"jobresult", {{"errorcode", 530}, {"errortext", Joined(false)}}}}}}
                                   .dump()));
    run = Cli({"stop", "--id", Id(0)});
    EXPECT_EQ(run.status, 1);
    ASSERT_EQ(Lines(run.err).size(), 1u) << run.err;
    ExpectShownSafely(run);
    EXPECT_EQ(run.err.rfind("cloudstack-cli: stop " + shown + ": the server refused (530): " + shown.substr(0, 100), 0),
              0u)
        << run.err;

    SCOPED_TRACE("a refusal's error text, through the library's last error (300 bytes at most)");
    server_.Always("listHosts",
                   Answer(530, Json{{"listhostsresponse", {{"errorcode", 530}, {"errortext", Joined(false)}}}}.dump()));
    run = Cli({"hosts"});
    EXPECT_EQ(run.status, 1);
    ASSERT_EQ(Lines(run.err).size(), 1u) << run.err;
    ExpectShownSafely(run);
    const std::string prefix = "cloudstack-cli: listing hosts: the server refused (530): ";
    EXPECT_EQ(run.err.rfind(prefix + shown.substr(0, 100), 0), 0u) << run.err;

    SCOPED_TRACE("a redirect's Location, which may hold what JSON cannot: invalid UTF-8");
    std::string location = "http://cloud.example.invalid/";
    for (const cstest::HostileText& hostile : cstest::HostileTexts())
        if (hostile.header) location += hostile.text;
    server_.Always("listHosts", cstest::Reply{302, {{"Location", location}}, ""});
    run = Cli({"hosts"});
    EXPECT_EQ(run.status, 1);
    ASSERT_EQ(Lines(run.err).size(), 1u) << run.err;
    ExpectShownSafely(run);
}

}  // namespace
