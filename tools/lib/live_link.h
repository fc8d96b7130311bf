// The link between a live mivo-sim and mivo-ctl: a local (AF_UNIX) stream
// socket that stands where hid.dll stands on Windows. It carries the same two
// things an application does with the device: write an output report through
// the HID class driver, and read the last status report the class driver
// got. One request a line, one answer a line:
//   write f0 08 03 00   ->  ok <NTSTATUS as 8 hex digits> <bytes written>
//   status              ->  status <hex bytes>     (or "none yet")
// Anything else         ->  error <what was wrong>
// Lines are at most kMaxLine bytes; a longer one ends the connection.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace mivo::tools {

constexpr size_t kMaxLinkLine = 256;

// Serves the socket at `path` on a thread of its own until destroyed. Each
// request line goes to `answer`, which may be called from that thread at any
// time and must return the answer line (without its line feed).
class LinkServer {
public:
    using Answer = std::function<std::string(const std::string &request)>;
    LinkServer(std::string path, Answer answer);
    ~LinkServer();
    LinkServer(const LinkServer &) = delete;
    LinkServer &operator=(const LinkServer &) = delete;

    // Empty when the socket listens; otherwise why it could not (the path too
    // long, taken by something that is no socket, no permission...).
    const std::string &error() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

// The answers of a live session, given what it does with a write (the
// NTSTATUS and the bytes the class driver reported) and the last status
// report it has seen.
struct LinkWritten {
    uint32_t status = 0;
    uint64_t written = 0;
};
using LinkWrite = std::function<LinkWritten(const std::vector<uint8_t> &report)>;
using LinkStatus = std::function<std::optional<std::vector<uint8_t>>()>;
std::string link_answer(const std::string &request, const LinkWrite &write, const LinkStatus &status);

// One request to a live mivo-sim: the answer line, or an error message that
// says what went wrong (nothing listening, no answer within the time-out).
struct LinkReply {
    bool ok = false;
    std::string line;  // the answer when ok
    std::string error; // why not otherwise
};
LinkReply link_request(const std::string &path, const std::string &request, int timeout_ms = 2000);

} // namespace mivo::tools
