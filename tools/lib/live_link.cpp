#include "tools/lib/live_link.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

#include "tools/lib/control.h"

namespace mivo::tools {

namespace {

bool make_address(const std::string &path, sockaddr_un &address, std::string &error)
{
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        error = "socket path '" + path + "' is empty or longer than " + std::to_string(sizeof address.sun_path - 1) +
                " bytes";
        return false;
    }
    std::memcpy(address.sun_path, path.data(), path.size());
    return true;
}

bool send_all(int fd, const std::string &text)
{
    size_t sent = 0;
    while (sent < text.size()) {
        ssize_t n = ::send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        sent += size_t(n);
    }
    return true;
}

// Reads one line (without its line feed) within the time-out; false on end,
// error, time-out or a line longer than kMaxLinkLine.
bool read_line(int fd, std::string &pending, std::string &line, int timeout_ms)
{
    for (;;) {
        size_t at = pending.find('\n');
        if (at != std::string::npos) {
            line = pending.substr(0, at);
            pending.erase(0, at + 1);
            return true;
        }
        if (pending.size() > kMaxLinkLine) return false;
        pollfd p{fd, POLLIN, 0};
        int r = ::poll(&p, 1, timeout_ms);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        char buffer[256];
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        pending.append(buffer, size_t(n));
    }
}

} // namespace

struct LinkServer::State {
    std::string path;
    Answer answer;
    std::string error;
    int listener = -1;
    int wake[2] = {-1, -1}; // a pipe that ends the serving thread
    std::thread thread;

    void serve()
    {
        for (;;) {
            pollfd p[2] = {{listener, POLLIN, 0}, {wake[0], POLLIN, 0}};
            if (::poll(p, 2, -1) < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if (p[1].revents) return;
            int client = ::accept(listener, nullptr, nullptr);
            if (client < 0) continue;
            // One client at a time, as mivo-ctl makes one request and goes.
            std::string pending, line;
            while (read_line(client, pending, line, 5000)) {
                if (!line.empty() && line.back() == '\r') line.pop_back();
                if (!send_all(client, answer(line) + "\n")) break;
            }
            ::close(client);
        }
    }
};

LinkServer::LinkServer(std::string path, Answer answer) : state_(std::make_unique<State>())
{
    State &s = *state_;
    s.path = std::move(path);
    s.answer = std::move(answer);
    sockaddr_un address;
    if (!make_address(s.path, address, s.error)) return;
    // A socket left by an earlier run is replaced; anything else at the path is not touched.
    struct stat st;
    if (::lstat(s.path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            s.error = "'" + s.path + "' exists and is not a socket";
            return;
        }
        ::unlink(s.path.c_str());
    }
    s.listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s.listener < 0 || ::bind(s.listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        ::listen(s.listener, 4) != 0 || ::pipe(s.wake) != 0) {
        s.error = "cannot listen on '" + s.path + "': " + std::strerror(errno);
        return;
    }
    s.thread = std::thread([&s] { s.serve(); });
}

LinkServer::~LinkServer()
{
    State &s = *state_;
    if (s.thread.joinable()) {
        (void)!::write(s.wake[1], "x", 1);
        s.thread.join();
    }
    for (int fd : {s.listener, s.wake[0], s.wake[1]})
        if (fd >= 0) ::close(fd);
    if (s.listener >= 0 && s.error.empty()) ::unlink(s.path.c_str());
}

const std::string &LinkServer::error() const { return state_->error; }

std::string link_answer(const std::string &request, const LinkWrite &write, const LinkStatus &status)
{
    if (request == "status") {
        std::optional<std::vector<uint8_t>> last = status();
        return last ? "status " + control::hex(*last) : "none yet";
    }
    if (request.starts_with("write ")) {
        control::Result<std::vector<uint8_t>> bytes = control::parse_hex(request.substr(6));
        if (!bytes) return "error " + bytes.error;
        if (bytes.value->empty()) return "error no bytes to write";
        LinkWritten done = write(*bytes.value);
        char status_text[16];
        std::snprintf(status_text, sizeof status_text, "%08X", unsigned(done.status));
        return std::string("ok ") + status_text + " " + std::to_string(done.written);
    }
    std::string shown = request.size() > 32 ? request.substr(0, 32) + "..." : request;
    return "error unknown request '" + shown + "' (write HEX, status)";
}

LinkReply link_request(const std::string &path, const std::string &request, int timeout_ms)
{
    LinkReply reply;
    sockaddr_un address;
    if (!make_address(path, address, reply.error)) return reply;
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        reply.error = std::string("socket: ") + std::strerror(errno);
        return reply;
    }
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        reply.error = "nothing listens on '" + path + "' (" + std::strerror(errno) +
                      "); start mivo-sim --realtime --listen " + path;
        ::close(fd);
        return reply;
    }
    std::string pending;
    if (!send_all(fd, request + "\n") || !read_line(fd, pending, reply.line, timeout_ms)) {
        reply.error = "no answer from '" + path + "' within " + std::to_string(timeout_ms) + " ms";
        reply.line.clear();
    } else {
        reply.ok = true;
    }
    ::close(fd);
    return reply;
}

} // namespace mivo::tools
