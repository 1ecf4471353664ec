// End-to-end tests of how cloudstack-cli finds its server and credentials (command line,
// environment, config file, prompt) and how it reports a failed login or connection.

#include <sys/stat.h>

#include <map>
#include <string>
#include <vector>

#include "CliHarness.h"

namespace {

using namespace clitest;

std::string FirstZone() {
    return BuiltInInventory()["zones"][0]["name"];
}

class CliConfigTest : public CliTest {
protected:
    void TearDown() override {
        for (const std::string& path : files_) std::remove(path.c_str());
        CliTest::TearDown();
    }

    std::string Config(const std::string& name, const std::string& text) {
        files_.push_back(WriteFile(name, text));
        return files_.back();
    }

    // A run that logged in lists the zones; one that did not exits 1.
    void ExpectLoggedIn(const RunResult& run) {
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_TRUE(Contains(run.out, FirstZone())) << run.out;
    }
    void ExpectRefused(const RunResult& run) {
        EXPECT_EQ(run.status, 1) << run.out;
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(Lines(run.err).size(), 1u) << run.err;
    }

    std::vector<std::string> files_;
};

TEST_F(CliConfigTest, ConfigFileSuppliesServerUserAndPassword) {
    const std::string config =
        Config("plain.ini", "# a comment\n[cloudstack]\nendpoint = " + address_ +
                                "\n; another comment\nusername = admin\npassword = password\ntimeout = 30\n");
    const RunResult run = CliWith({{"CLOUDSTACK_CONFIG", config}}, {"zones"});
    ExpectLoggedIn(run);
    EXPECT_EQ(run.err, "");
}

TEST_F(CliConfigTest, CommandLineBeatsEnvironmentBeatsConfigFile) {
    const std::string wrongInFile =
        Config("wrong.ini", "[cloudstack]\nendpoint = " + address_ + "\nusername = admin\npassword = wrong\n");
    const std::string rightInFile =
        Config("right.ini", "[cloudstack]\nendpoint = " + address_ + "\nusername = nobody\npassword = password\n");
    const std::string rightFile = Config("password", "password\n");

    SCOPED_TRACE("the environment's password beats the file's");
    ExpectLoggedIn(CliWith({{"CLOUDSTACK_CONFIG", wrongInFile}, {"CLOUDSTACK_PASSWORD", "password"}}, {"zones"}));
    SCOPED_TRACE("the environment's user beats the file's");
    ExpectLoggedIn(CliWith({{"CLOUDSTACK_CONFIG", rightInFile}, {"CLOUDSTACK_USER", "admin"}}, {"zones"}));
    SCOPED_TRACE("--password-file beats the environment");
    ExpectLoggedIn(CliWith({{"CLOUDSTACK_CONFIG", wrongInFile}, {"CLOUDSTACK_PASSWORD", "wrong"}},
                           {"zones", "--password-file", rightFile}));
    SCOPED_TRACE("--user beats the environment and the file");
    ExpectRefused(
        CliWith({{"CLOUDSTACK_CONFIG", rightInFile}, {"CLOUDSTACK_USER", "admin"}}, {"zones", "--user", "nobody"}));
    SCOPED_TRACE("--server beats the environment");
    ExpectLoggedIn(CliWith({{"CLOUDSTACK_SERVER", address_ + ":8081"}, {"CLOUDSTACK_PASSWORD", "password"}},
                           {"zones", "--server", address_}));
}

TEST_F(CliConfigTest, RegionPicksAnotherSection) {
    const std::string config =
        Config("regions.ini", "[cloudstack]\nendpoint = " + address_ +
                                  "\npassword = wrong\n\n[lab]\nendpoint = " + address_ + "\npassword = password\n");
    ExpectLoggedIn(CliWith({{"CLOUDSTACK_CONFIG", config}}, {"zones", "--region", "lab"}));
    ExpectLoggedIn(CliWith({{"CLOUDSTACK_CONFIG", config}, {"CLOUDSTACK_REGION", "lab"}}, {"zones"}));

    const RunResult missing = CliWith({{"CLOUDSTACK_CONFIG", config}}, {"zones", "--region", "prod"});
    EXPECT_EQ(missing.status, 2);
    EXPECT_TRUE(Contains(missing.err, "no section [prod]")) << missing.err;
}

TEST_F(CliConfigTest, ConfigFileIsFoundInTheWorkingDirectoryThenInHome) {
    char homePattern[] = "/tmp/cli-config-home-XXXXXX";
    char workPattern[] = "/tmp/cli-config-work-XXXXXX";
    const std::string home = mkdtemp(homePattern);
    const std::string work = mkdtemp(workPattern);
    const std::string homeFile = home + "/.cloudstack.ini";
    const std::string workFile = work + "/cloudstack.ini";
    files_.insert(files_.end(), {homeFile, workFile});
    std::ofstream(homeFile) << "[cloudstack]\nendpoint = " << address_ << "\npassword = password\n";
    chmod(homeFile.c_str(), 0600);

    Launch launch;
    launch.argv = {kCli, "zones"};
    launch.env = {{"HOME", home}};
    launch.directory = work;
    SCOPED_TRACE("~/.cloudstack.ini");
    ExpectLoggedIn(RunProgram(launch));

    std::ofstream(workFile) << "[cloudstack]\nendpoint = " << address_ << "\npassword = wrong\n";
    chmod(workFile.c_str(), 0600);
    SCOPED_TRACE("./cloudstack.ini comes first");
    ExpectRefused(RunProgram(launch));

    SCOPED_TRACE("$CLOUDSTACK_CONFIG comes before both");
    launch.env["CLOUDSTACK_CONFIG"] = homeFile;
    ExpectLoggedIn(RunProgram(launch));

    launch.env["CLOUDSTACK_CONFIG"] = work + "/missing.ini";
    const RunResult missing = RunProgram(launch);
    EXPECT_EQ(missing.status, 2);
    EXPECT_TRUE(Contains(missing.err, "missing.ini")) << missing.err;
    for (const std::string& path : {homeFile, workFile}) std::remove(path.c_str());
    rmdir(home.c_str());
    rmdir(work.c_str());
}

TEST_F(CliConfigTest, FaultyConfigFilesAreUsageErrorsAndOpenSecretsAreWarnedAbout) {
    const std::string broken = Config("broken.ini", "[cloudstack]\nendpoint " + address_ + "\n");
    RunResult run = CliWith({{"CLOUDSTACK_CONFIG", broken}}, {"zones"});
    EXPECT_EQ(run.status, 2);
    EXPECT_TRUE(Contains(run.err, "line 2")) << run.err;

    const std::string halfPair = Config("half.ini", "[cloudstack]\nendpoint = " + address_ + "\nsecret = s3cret\n");
    run = CliWith({{"CLOUDSTACK_CONFIG", halfPair}}, {"zones"});
    EXPECT_EQ(run.status, 2);
    EXPECT_TRUE(Contains(run.err, "without its key")) << run.err;
    EXPECT_FALSE(Contains(run.err, "s3cret")) << run.err;

    run = CliWith({{"CLOUDSTACK_API_KEY", "key"}, {"CLOUDSTACK_SERVER", address_}}, {"zones"});
    EXPECT_EQ(run.status, 2);
    EXPECT_TRUE(Contains(run.err, "CLOUDSTACK_SECRET_KEY is not set")) << run.err;

    const std::string open = Config("open.ini", "[cloudstack]\nendpoint = " + address_ + "\npassword = password\n");
    chmod(open.c_str(), 0644);
    run = CliWith({{"CLOUDSTACK_CONFIG", open}}, {"zones"});
    ExpectLoggedIn(run);
    ASSERT_EQ(Lines(run.err).size(), 1u) << run.err;
    EXPECT_TRUE(Contains(run.err, "warning: the config file '" + open + "' holds a secret")) << run.err;
    EXPECT_FALSE(Contains(run.err, "password =")) << run.err;
}

TEST_F(CliConfigTest, PasswordFileFirstLineIsUsedWithoutItsLineEnd) {
    const std::string path = Config("password-crlf", "password\r\nsecond line\n");
    const RunResult run = CliWith({{"CLOUDSTACK_SERVER", address_}}, {"--password-file", path, "zones"});
    ExpectLoggedIn(run);
}

TEST_F(CliConfigTest, PasswordPromptReadsTheTerminalWithoutEcho) {
    Launch launch;
    launch.argv = {kCli, "zones"};
    launch.env = {{"CLOUDSTACK_SERVER", address_}, {"HOME", EmptyDirectory()}};
    launch.withTerminal = true;
    launch.typeAfter = "Password for admin at " + address_ + ": ";
    launch.typed = "password\n";
    const RunResult run = RunProgram(launch);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(Contains(run.terminal, launch.typeAfter)) << run.terminal;
    EXPECT_FALSE(Contains(run.terminal, "password")) << "echoed: " << run.terminal;
    EXPECT_TRUE(Contains(run.out, FirstZone())) << run.out;
}

}  // namespace
