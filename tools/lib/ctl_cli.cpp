#include "tools/lib/ctl_cli.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <fstream>
#include <optional>

#include "tools/lib/control.h"
#include "tools/lib/live_link.h"
#include "tools/lib/sim_cli.h"
#include "tools/lib/trace_file.h"

namespace mivo::tools {

namespace {

struct FoundStatus {
    uint64_t t_ms = 0;
    control::Status status;
};

// The last status report of a mivo-sim JSON-lines timeline, at or before
// `until` when given. Lines that are not JSON objects are refused by their
// line, since they mean the timeline is not the JSON one.
std::optional<FoundStatus> last_status(std::istream &in, const std::string &name, std::optional<uint64_t> until,
                                       std::ostream &err)
{
    std::optional<FoundStatus> found;
    int line_number = 0;
    for (std::string line; std::getline(in, line);) {
        line_number++;
        if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
        nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
        if (j.is_discarded() || !j.is_object()) {
            err << name << ":" << line_number
                << ": not a JSON line (mivo-ctl status reads the timeline of mivo-sim --format jsonl)\n";
            return std::nullopt;
        }
        if (!j.contains("report") || j["report"] != "status") continue;
        uint64_t t = j.value("t_ms", uint64_t(0));
        if (until && t > *until) break;
        control::Result<std::vector<uint8_t>> bytes = control::parse_hex(j.value("hex", std::string()));
        control::Result<control::Status> status =
            bytes ? control::decode_status(*bytes.value) : control::Result<control::Status>{std::nullopt, bytes.error};
        if (!status) {
            err << name << ":" << line_number << ": " << status.error << "\n";
            return std::nullopt;
        }
        found = FoundStatus{t, *status.value};
    }
    if (!found) err << "mivo-ctl: no status report in " << name << (until ? " up to that time" : "") << "\n";
    return found;
}

// The live path: the command or the status request goes to a running
// mivo-sim --realtime --listen PATH, which hands it to the HID class driver.
int live(const std::string &socket, const std::vector<std::string> &words, std::ostream &out, std::ostream &err)
{
    if (!words.empty() && words[0] == "status") {
        if (words.size() > 1) {
            err << "mivo-ctl: status: unexpected '" << words[1] << "' (with --socket the status is the live one)\n";
            return kExitUsage;
        }
        LinkReply reply = link_request(socket, "status");
        if (!reply.ok) {
            err << "mivo-ctl: " << reply.error << "\n";
            return kExitInput;
        }
        if (reply.line == "none yet") {
            out << "no status report yet\n";
            return kExitOk;
        }
        control::Result<std::vector<uint8_t>> bytes =
            reply.line.starts_with("status ") ? control::parse_hex(reply.line.substr(7))
                                              : control::Result<std::vector<uint8_t>>{std::nullopt, reply.line};
        control::Result<control::Status> status =
            bytes ? control::decode_status(*bytes.value) : control::Result<control::Status>{std::nullopt, bytes.error};
        if (!status) {
            err << "mivo-ctl: unexpected answer: " << status.error << "\n";
            return kExitInput;
        }
        out << control::describe(*status.value) << "\n";
        return kExitOk;
    }
    control::Result<control::Command> command = control::parse_command(words);
    if (!command) {
        err << "mivo-ctl: " << command.error << "\nRun with --help for the commands.\n";
        return kExitUsage;
    }
    control::Report report = control::encode(*command.value);
    LinkReply reply = link_request(socket, "write " + control::hex(report));
    if (!reply.ok) {
        err << "mivo-ctl: " << reply.error << "\n";
        return kExitInput;
    }
    unsigned status = 0;
    unsigned long long written = 0;
    if (std::sscanf(reply.line.c_str(), "ok %8X %llu", &status, &written) != 2) {
        err << "mivo-ctl: " << reply.line << "\n";
        return kExitInput;
    }
    if (status != 0) {
        char text[16];
        std::snprintf(text, sizeof text, "0x%08X", status);
        err << "mivo-ctl: " << control::describe(report) << ": the driver refused the write with " << text << "\n";
        return kExitInput;
    }
    out << control::describe(report) << ": written (" << written << " bytes)\n";
    return kExitOk;
}

} // namespace

int mivo_ctl_main(int argc, const char *const *argv, std::istream &in, std::ostream &out, std::ostream &err)
{
    CLI::App app{"mivo-ctl: the control application of the mivo driver. It writes the driver's command report\n"
                 "0xF0 and reads its status report. On Linux it steers the simulator: a command is printed as\n"
                 "the trace line that makes mivo-sim write it at the time --at gives, e.g.\n"
                 "  mivo-ctl --at 1500 profile 3 >> session.trace      (prints: 1500 write f0 08 03 00)\n"
                 "and 'status' reads the last status report of a timeline that mivo-sim --format jsonl wrote:\n"
                 "  mivo-sim --trace session.trace --format jsonl | mivo-ctl status\n"
                 "With --socket it steers a simulator that runs live instead, as the Windows build steers the driver:\n"
                 "  mivo-sim --realtime --listen /tmp/mivo.sock &   mivo-ctl --socket /tmp/mivo.sock led on\n"
                 "Options come before the command.",
                 "mivo-ctl"};

    app.footer("Commands:\n" + std::string(control::command_summary()) +
               "  status [FILE]      the last status report of a mivo-sim JSON-lines timeline (default: standard "
               "input)\n\nExit status: 0 done, 1 failure, 2 usage error.");
    std::optional<uint64_t> at;
    app.add_option("--at", at,
                   "Time of the write in ms from the start of the session; for status: the last report up to then")
        ->check(CLI::Range(uint64_t(0), kMaxSessionMs))
        ->type_name("MS");
    std::optional<std::string> socket;
    app.add_option("--socket", socket,
                   "Steer a live simulator instead: the socket of mivo-sim --realtime --listen PATH")
        ->type_name("PATH");
    // Everything from the command on is the command's: "-1" is a profile id,
    // not an option.
    app.prefix_command();

    try {
        app.parse(argc, argv);
    } catch (const CLI::Success &e) {
        return app.exit(e, out, err);
    } catch (const CLI::ParseError &e) {
        err << "mivo-ctl: " << e.what() << "\nRun with --help for the commands.\n";
        return kExitUsage;
    }
    std::vector<std::string> words = app.remaining();
    if (!words.empty() && words[0].starts_with("-")) {
        err << "mivo-ctl: unknown option '" << words[0] << "'\nRun with --help for the commands.\n";
        return kExitUsage;
    }

    if (socket) {
        if (at) {
            err << "mivo-ctl: --at is for trace lines; a live simulator takes the command now\n";
            return kExitUsage;
        }
        return live(*socket, words, out, err);
    }

    if (!words.empty() && words[0] == "status") {
        if (words.size() > 2) {
            err << "mivo-ctl: status: unexpected '" << words[2] << "'\n";
            return kExitUsage;
        }
        std::optional<FoundStatus> found;
        if (words.size() == 2 && words[1] != "-") {
            std::ifstream file(words[1]);
            if (!file) {
                err << "mivo-ctl: cannot open " << words[1] << "\n";
                return kExitInput;
            }
            found = last_status(file, words[1], at, err);
        } else {
            found = last_status(in, "<stdin>", at, err);
        }
        if (!found) return kExitInput;
        out << found->t_ms << " ms: " << control::describe(found->status) << "\n";
        return kExitOk;
    }

    control::Result<control::Command> command = control::parse_command(words);
    if (!command) {
        err << "mivo-ctl: " << command.error << "\nRun with --help for the commands.\n";
        return kExitUsage;
    }
    if (!at) {
        // There is no device to write to on Linux; a line without a time
        // would have no place in a trace.
        err << "mivo-ctl: give the time of the write with --at MS (mivo-ctl prints a trace line for mivo-sim)\n";
        return kExitUsage;
    }
    control::Report report = control::encode(*command.value);
    out << *at << " write " << control::hex(report) << "\n";
    return kExitOk;
}

} // namespace mivo::tools
