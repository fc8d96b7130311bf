#include "tools/lib/ctl_cli.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <fstream>
#include <optional>

#include "tools/lib/control.h"
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

} // namespace

int mivo_ctl_main(int argc, const char *const *argv, std::istream &in, std::ostream &out, std::ostream &err)
{
    CLI::App app{"mivo-ctl: the control application of the mivo driver. It writes the driver's command report\n"
                 "0xF0 and reads its status report. On Linux it steers the simulator: a command is printed as\n"
                 "the trace line that makes mivo-sim write it at the time --at gives, e.g.\n"
                 "  mivo-ctl --at 1500 profile 3 >> session.trace      (prints: 1500 write f0 08 03 00)\n"
                 "and 'status' reads the last status report of a timeline that mivo-sim --format jsonl wrote:\n"
                 "  mivo-sim --trace session.trace --format jsonl | mivo-ctl status\nOptions come before the command.",
                 "mivo-ctl"};

    app.footer("Commands:\n" + std::string(control::command_summary()) +
               "  status [FILE]      the last status report of a mivo-sim JSON-lines timeline (default: standard "
               "input)\n\nExit status: 0 done, 1 failure, 2 usage error.");
    std::optional<uint64_t> at;
    app.add_option("--at", at,
                   "Time of the write in ms from the start of the session; for status: the last report up to then")
        ->check(CLI::Range(uint64_t(0), kMaxSessionMs))
        ->type_name("MS");
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
