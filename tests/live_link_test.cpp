// The local socket between a live simulator and mivo-ctl: requests answered
// line by line, bad requests and bad paths refused with a reason, and
// mivo-ctl's commands arriving as the class driver's writes.
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <thread>
#include <sstream>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "tests/support/cli_run.h"
#include "tools/lib/ctl_cli.h"
#include "tools/lib/live_link.h"

using namespace mivo::tools;

namespace {

std::string temp_socket(const char *name) { return "/tmp/mivo-link-test-" + std::to_string(getpid()) + "-" + name; }

// A live session's answers without a driver behind them: writes are kept,
// and the status is whatever the test sets.
struct FakeSession {
    std::mutex mu;
    std::vector<std::vector<uint8_t>> writes;
    std::optional<std::vector<uint8_t>> status;
    uint32_t write_status = 0;

    LinkServer::Answer answer()
    {
        return [this](const std::string &request) {
            return link_answer(
                request,
                [this](const std::vector<uint8_t> &report) {
                    std::lock_guard g(mu);
                    writes.push_back(report);
                    return LinkWritten{write_status, write_status ? 0 : report.size()};
                },
                [this] {
                    std::lock_guard g(mu);
                    return status;
                });
        };
    }
};

CliRun ctl(std::vector<const char *> args)
{
    args.insert(args.begin(), "mivo-ctl");
    std::istringstream in;
    std::ostringstream out, err;
    int status = mivo_ctl_main(int(args.size()), args.data(), in, out, err);
    return {status, out.str(), err.str()};
}

TEST(LiveLink, RequestsAreAnsweredAndBadOnesRefusedWithAReason)
{
    FakeSession session;
    const std::string path = temp_socket("answers");
    LinkServer server(path, session.answer());
    ASSERT_EQ(server.error(), "");

    const struct {
        const char *request;
        const char *answer;
    } cases[] = {
        {"status", "none yet"},
        {"write f0 04 01 00", "ok 00000000 4"},
        {"write f004", "ok 00000000 2"},
        {"write zz", "error bad hex 'zz'"},
        {"write ", "error no bytes to write"},
        {"read", "error unknown request 'read' (write HEX, status)"},
        {"0123456789012345678901234567890123456789", "error unknown request '01234567890123456789012345678901...'"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.request);
        LinkReply reply = link_request(path, c.request);
        ASSERT_TRUE(reply.ok) << reply.error;
        EXPECT_EQ(reply.line.substr(0, std::string(c.answer).size()), c.answer);
    }
    EXPECT_EQ(session.writes.size(), 2u);

    // A line longer than the link takes ends the connection, without an answer.
    LinkReply flood = link_request(path, std::string(4 * kMaxLinkLine, 'w'), 500);
    EXPECT_FALSE(flood.ok);
    EXPECT_TRUE(link_request(path, "status").ok) << "the server serves the next client";
}

TEST(LiveLink, PathsThatCannotServeSayWhy)
{
    const std::string missing = temp_socket("nobody");
    LinkReply reply = link_request(missing, "status");
    EXPECT_FALSE(reply.ok);
    EXPECT_NE(reply.error.find("nothing listens on '" + missing + "'"), std::string::npos) << reply.error;

    FakeSession session;
    LinkServer too_long(std::string(200, 'x'), session.answer());
    EXPECT_NE(too_long.error().find("longer than"), std::string::npos);

    // A file that is no socket is never replaced.
    char file[] = "/tmp/mivo-link-test-XXXXXX";
    int fd = mkstemp(file);
    ASSERT_GE(fd, 0);
    close(fd);
    LinkServer over_file(file, session.answer());
    EXPECT_NE(over_file.error().find("is not a socket"), std::string::npos);
    EXPECT_EQ(access(file, F_OK), 0);
    unlink(file);
}

TEST(LiveLink, MivoCtlWritesItsCommandsAndReadsTheLiveStatus)
{
    FakeSession session;
    const std::string path = temp_socket("ctl");
    LinkServer server(path, session.answer());
    ASSERT_EQ(server.error(), "");

    CliRun r = ctl({"--socket", path.c_str(), "profile", "-1"});
    EXPECT_EQ(r.status, kExitOk) << r.err;
    EXPECT_EQ(r.out, "profile -1: written (4 bytes)\n");
    ASSERT_EQ(session.writes.size(), 1u);
    EXPECT_EQ(session.writes[0], (std::vector<uint8_t>{0xF0, 0x08, 0xFF, 0xFF}));

    r = ctl({"--socket", path.c_str(), "status"});
    EXPECT_EQ(r.out, "no status report yet\n");
    session.status = std::vector<uint8_t>{0xF0, 0x01, 0x03, 0x00};
    r = ctl({"--socket", path.c_str(), "status"});
    EXPECT_EQ(r.status, kExitOk);
    EXPECT_EQ(r.out, "running, profile 3\n");

    // What the driver refuses is a failure of mivo-ctl, with the status.
    session.write_status = 0xC0000010;
    r = ctl({"--socket", path.c_str(), "led", "on"});
    EXPECT_EQ(r.status, kExitInput);
    EXPECT_NE(r.err.find("refused the write with 0xC0000010"), std::string::npos) << r.err;

    // Usage stays usage: a time has no meaning live, nothing listens elsewhere.
    EXPECT_EQ(ctl({"--socket", path.c_str(), "--at", "5", "reload"}).status, kExitUsage);
    r = ctl({"--socket", temp_socket("nobody").c_str(), "reload"});
    EXPECT_EQ(r.status, kExitInput);
    EXPECT_NE(r.err.find("start mivo-sim --realtime --listen"), std::string::npos);
}

} // namespace

// mivo-sim --realtime --listen: the real driver on the real clock, steered
// through the socket while it runs; named Threaded* so ThreadSanitizer sees
// the socket's writes beside the workers and the session's own thread.
TEST(ThreadedLiveSession, MivoCtlSteersTheRunningDriverThroughTheClassDriver)
{
    const std::string path = temp_socket("live");
    CliRun run{};
    std::thread session([&] { run = run_sim_cli({"--realtime", "--listen", path.c_str(), "--duration", "1500"}); });

    LinkReply reply;
    for (int i = 0; i < 200 && !(reply = link_request(path, "status")).ok; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(reply.ok) << reply.error;
    // The first status report comes with the first step.
    for (int i = 0; i < 100 && reply.line == "none yet"; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        reply = link_request(path, "status");
    }
    EXPECT_EQ(reply.line, "status f0 01 ff ff") << "running on the base profile";

    CliRun ctl_run = ctl({"--socket", path.c_str(), "config", "on"});
    EXPECT_EQ(ctl_run.status, kExitOk) << ctl_run.err;
    session.join();

    EXPECT_EQ(run.status, kExitOk) << run.err;
    EXPECT_NE(run.out.find("listening on " + path), std::string::npos);
    EXPECT_NE(run.out.find("device           start: STATUS_SUCCESS"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("write            F0 FF 01 00  config on: STATUS_SUCCESS"), std::string::npos)
        << "the socket's write is in the timeline";
    EXPECT_NE(run.out.find("device           removal: STATUS_SUCCESS"), std::string::npos);
    EXPECT_EQ(access(path.c_str(), F_OK), -1) << "the socket goes with the session";
}
