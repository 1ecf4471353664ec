// End-to-end tests of cloudstack-cli against the scripted, recording test server in this process:
// what the client sends (login, domain, key pair, logout, api parameters, endpoint forms) and the
// line it prints for a server's refusal or an unreachable server.

#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "CliHarness.h"

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

    server_.Always("queryAsyncJobResult", Answer(200, cstest::Fixture("queryAsyncJobResult-failure-533.json")));
    run = Cli({"stop", "--name", "web-01"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err,
              "cloudstack-cli: stop web-01: the server refused (533): Unable to create a deployment for VM instance "
              "{...}\n");
}

}  // namespace
