// Clients as people and scripts run them: one after another, each getting readings however soon it
// follows the last; a watcher that follows the device's removal and the host's restart, and a get
// that waits for a host that is starting; and the messages that say what went wrong and what to do.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fstream>
#include <thread>

#include "e2e/e2e_host.h"
#include "support/temp_dir.h"

namespace {

using namespace std::chrono_literals;
using e2e::HostProcess;
using e2e::JsonLines;
using e2e::NextEvent;
using e2e::NextReading;
using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::Not;

bool IsReading(const nlohmann::json& line)
{
    return line["temperature_celsius"].is_number();
}

// Each client comes as the last one leaves, so each finds the device idle or on its way there: the
// host brings it back and its acquisition starts again.
TEST(SuccessiveClientsTest, EachClient_GetsReadingsHoweverSoonItFollowsTheLast)
{
    test_support::TempDir dir;
    const auto host = HostProcess::Start(dir.path());
    ASSERT_NE(host, nullptr);
    ASSERT_EQ(host->Ctl({"--json", "list"}).exitCode, 0);
    for (int i = 0; i < 20; ++i) {
        const e2e::RunResult get = host->Ctl({"--json", "get"});
        ASSERT_EQ(get.exitCode, 0) << "get " << i << ": " << get.err;
        const std::vector<nlohmann::json> lines = JsonLines(get);
        ASSERT_EQ(lines.size(), 1u) << get.out;
        EXPECT_TRUE(IsReading(lines[0])) << get.out;
        EXPECT_EQ(lines[0]["state"], "ready") << get.out;
    }
    const e2e::RunResult watch = host->Ctl({"--json", "watch", "--count", "3"});
    ASSERT_EQ(watch.exitCode, 0) << watch.err;
    const std::vector<nlohmann::json> events = JsonLines(watch);
    EXPECT_EQ(std::count_if(events.begin(), events.end(), IsReading), 3) << watch.out;

    // Inside the 100 ms the device takes to idle after the last client left, and after them. The
    // pause before each start is the moment under test, not a wait for something.
    for (const auto after : {0ms, 50ms, 150ms}) {
        std::this_thread::sleep_for(after);
        const auto watcher = host->StartCtl({"--json", "watch"});
        EXPECT_TRUE(NextReading(*watcher)) << "started " << after.count() << " ms after: " << watcher->Stderr();
        watcher->Signal(SIGINT);
        EXPECT_EQ(watcher->Wait(e2e::kCommandTimeout), 0);
    }
    EXPECT_EQ(host->Stop(), 0);
}

TEST(FollowTest, WatchFollow_OutlivesARemovalAndAHostRestart_WhereAPlainWatchEnds)
{
    test_support::TempDir dir;
    auto host = HostProcess::Start(dir.path());
    ASSERT_NE(host, nullptr);
    const auto follower = host->StartCtl({"--json", "watch", "--follow"});
    ASSERT_TRUE(NextReading(*follower)) << follower->Stderr();

    // The device is pulled out: a plain watch says so and ends; the follower waits for it.
    {
        const auto plain = host->StartCtl({"--json", "watch"});
        ASSERT_TRUE(NextReading(*plain)) << plain->Stderr();
        ASSERT_EQ(host->Ctl({"sim", "surprise-remove"}).exitCode, 0);
        EXPECT_TRUE(NextEvent(*plain, "removed"));
        EXPECT_EQ(plain->Wait(e2e::kCommandTimeout), 3);
        EXPECT_THAT(plain->Stderr(), AllOf(HasSubstr("device was removed"), HasSubstr("--follow")));
    }
    EXPECT_TRUE(NextEvent(*follower, "removed"));
    const e2e::RunResult refused = host->Ctl({"get"});
    EXPECT_EQ(refused.exitCode, 3);
    EXPECT_THAT(refused.err, HasSubstr("device is removed"));
    ASSERT_EQ(host->Ctl({"sim", "add-device"}).exitCode, 0);
    EXPECT_TRUE(NextReading(*follower)) << follower->Stderr();

    // The host goes: a plain watch says so and ends; the follower, and a get started meanwhile, wait
    // for the next host on the same socket.
    {
        const auto plain = host->StartCtl({"--json", "watch"});
        ASSERT_TRUE(NextReading(*plain)) << plain->Stderr();
        EXPECT_EQ(host->Stop(), 0);
        EXPECT_TRUE(NextEvent(*plain, "host-lost"));
        EXPECT_EQ(plain->Wait(e2e::kCommandTimeout), 3);
        EXPECT_THAT(plain->Stderr(), AllOf(HasSubstr("connection to the host was lost"), HasSubstr("--follow")));
    }
    EXPECT_TRUE(NextEvent(*follower, "host-lost"));
    const auto waitingGet = host->StartCtl({"--json", "get", "--timeout", "120"});
    host = HostProcess::Start(dir.path());
    ASSERT_NE(host, nullptr);
    EXPECT_EQ(waitingGet->Wait(e2e::kCommandTimeout), 0) << waitingGet->Stderr();
    const std::vector<std::string> got = waitingGet->TakeRemainingLines();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_THAT(got[0], HasSubstr("\"temperature_celsius\":25"));
    EXPECT_TRUE(NextReading(*follower)) << follower->Stderr();

    follower->Signal(SIGINT);
    EXPECT_EQ(follower->Wait(e2e::kCommandTimeout), 0);
    EXPECT_EQ(host->Stop(), 0);
}

// A message's exit code and the words it must hold.
struct MessageCase {
    std::vector<std::string> args;
    int exitCode;
    std::vector<std::string> words;
};

void ExpectMessage(const e2e::RunResult& run, const MessageCase& expected)
{
    EXPECT_EQ(run.exitCode, expected.exitCode) << run.err;
    for (const std::string& word : expected.words) EXPECT_THAT(run.err, HasSubstr(word));
}

class MessagesTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        s_dir = new test_support::TempDir();
        s_host = HostProcess::Start(s_dir->path()).release();
    }
    static void TearDownTestSuite()
    {
        if (s_host != nullptr) {
            EXPECT_EQ(s_host->Stop(), 0);
        }
        delete s_host;
        delete s_dir;
    }
    void SetUp() override
    {
        if (s_host == nullptr) GTEST_SKIP() << "the suite's host did not start";
    }

    static test_support::TempDir* s_dir;
    static HostProcess* s_host;
};

test_support::TempDir* MessagesTest::s_dir = nullptr;
HostProcess* MessagesTest::s_host = nullptr;

TEST_F(MessagesTest, BadCommandLines_SayWhatIsWrong)
{
    const std::string file = (s_dir->path() / "not-a-socket").string();
    std::ofstream(file) << "text\n";
    const MessageCase cases[] = {
        {{"bogus"}, 2, {"unknown command \"bogus\"", "list, props, get, watch, radio, sim, trace"}},
        {{"watch", "--count", "0"}, 2, {"--count", "1 or more, not \"0\""}},
        {{"trace", "--level", "5"}, 2, {"--level", "error, warning, info or verbose, or 1 to 4"}},
        {{"--socket", file, "get"}, 3, {"is not a socket"}},
        {{"watch", "--plot"}, 2, {"standard output is not one", "--format value"}},
        {{"watch", "--plot", "--json"}, 2, {"cannot go with --json or --format value"}},
        {{"watch", "--plot", "--min", "30", "--max", "20"}, 2, {"--min 30 must be below --max 20"}},
        {{"watch", "--max", "20"}, 2, {"add --plot"}},
        {{"--json", "get", "--format", "value"}, 2, {"choose one"}},
    };
    for (const MessageCase& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        std::vector<std::string> argv{SENSORCTL_PATH};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const e2e::RunResult run = e2e::Run(argv);
        ExpectMessage(run, c);
        EXPECT_LT(run.err.size(), 300u) << "short: no table of the option's values, no 300-digit range";
    }
}

TEST_F(MessagesTest, RefusedRequests_SayWhatToDo)
{
    std::vector<MessageCase> cases = {
        {{"--sensor", "bogus", "get"}, 2, {"no sensor \"bogus\"", "57E940BB-A3ED-491B-9722-A605392668E4-0"}},
        {{"watch", "--interval", "50"}, 2, {"minimum report interval is 100 ms"}},
        {{"radio", "set", "3"}, 1, {"stored as the requested radio state", "acts on 0 (on) and 1 (off)"}},
    };
    for (const MessageCase& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        ExpectMessage(s_host->Ctl(c.args), c);
    }
    EXPECT_EQ(s_host->Ctl({"radio", "set", "0"}).exitCode, 0);
    if (::geteuid() == 0) {
        ExpectMessage(e2e::CtlAsNobody(*s_host, s_dir->path(), {"watch", "--interval", "200"}),
                      {{}, 1, {"read-only", "asking for a report interval needs write access", "--allow-group"}});
    }
}

TEST_F(MessagesTest, ClosedStandardOutput_EndsTheWatchQuietlyAsAFilterDoes)
{
    const e2e::RunResult run = e2e::Run(
        {"/bin/bash", "-c",
         "\"$0\" --socket \"$1\" watch | head -1; echo \"status ${PIPESTATUS[0]}\"", SENSORCTL_PATH, s_host->Socket()});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    ASSERT_EQ(run.lines.size(), 2u) << run.out;
    EXPECT_EQ(run.lines[1], "status 141");  // ended by SIGPIPE, as a filter whose reader left
    EXPECT_THAT(run.err, Not(HasSubstr("sensorctl:")));
}

TEST_F(MessagesTest, Trace_ReportsTheLinesTheHostDroppedForIt)
{
    // Readings every 100 ms give some 80 verbose lines a second; a stopped tracer reads none of
    // them, and its socket and its buffer at the host fill in a few seconds.
    const auto keeper = s_host->StartCtl({"--json", "watch", "--interval", "100"});
    ASSERT_TRUE(NextReading(*keeper)) << keeper->Stderr();
    const auto tracer = s_host->StartCtl({"trace", "--level", "verbose"});
    ASSERT_TRUE(tracer->ReadLine(e2e::kEventTimeout)) << tracer->Stderr();
    tracer->Signal(SIGSTOP);
    for (int i = 0; i < 100; ++i) ASSERT_TRUE(NextReading(*keeper));
    tracer->Signal(SIGCONT);
    EXPECT_TRUE(tracer->ReadUntil("trace lines: this client read too slowly", e2e::kEventTimeout));
    tracer->Signal(SIGINT);
    EXPECT_EQ(tracer->Wait(e2e::kCommandTimeout), 0);
    keeper->Signal(SIGINT);
    EXPECT_EQ(keeper->Wait(e2e::kCommandTimeout), 0);
}

}  // namespace
