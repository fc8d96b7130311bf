#include "tools/lib/sim_cli.h"

#include <CLI/CLI.hpp>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <utility>

#include "tools/lib/descriptor_text.h"
#include "tools/lib/hive.h"
#include "tools/lib/profile_file.h"
#include "tools/lib/profile_model.h"
#include "tools/lib/profile_store.h"
#include "tools/lib/profile_plot.h"
#include "tools/lib/simulation.h"
#include "tools/lib/timeline.h"
#include "tools/lib/trace_file.h"

namespace mivo::tools {

namespace {

// What the driver loads its profiles from, and how the header names it.
struct StoreChoice {
    std::optional<regfile::Document> store;
    std::string description;
};

// Every way of naming a store ends here, so that a new one is one more branch.
// Problems are printed, located in their files; nothing comes back then.
std::optional<StoreChoice> choose_store(const std::string &registry_path, const std::vector<std::string> &profile_paths,
                                        std::ostream &err)
{
    if (!profile_paths.empty()) {
        // Compiled in memory exactly as mivo-profile compile writes the store.
        std::vector<profile::Diagnostic> diagnostics;
        auto files = profile::read_profiles(profile_paths, diagnostics);
        for (const profile::Diagnostic &d : diagnostics) err << profile::format_diagnostic(d) << "\n";
        if (!files) return std::nullopt;
        profile::Store compiled = profile::make_store(*files);
        regfile::Document document = profile::compile(compiled, profile::subkey_names_for(*files));
        return StoreChoice{std::move(document), std::to_string(files->size()) + " profile file(s), default " +
                                                    std::to_string(compiled.default_id)};
    }
    if (registry_path.empty()) return StoreChoice{std::nullopt, "the base profile"};
    try {
        return StoreChoice{hive::read_store_file(registry_path, profile::kServiceKey), "the store in " + registry_path};
    } catch (const std::runtime_error &e) { // regfile::ParseError, hive::HiveError
        err << e.what() << "\n";
        return std::nullopt;
    }
}

} // namespace

// SIGINT and SIGTERM end a live session at its next millisecond, so that the
// device is removed, the driver unloaded and the kernel's findings printed.
class StopOnSignal {
public:
    StopOnSignal()
    {
        g_stop = 0;
        struct sigaction action {};
        action.sa_handler = [](int) { g_stop = 1; };
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, &old_int_);
        sigaction(SIGTERM, &action, &old_term_);
    }
    ~StopOnSignal()
    {
        sigaction(SIGINT, &old_int_, nullptr);
        sigaction(SIGTERM, &old_term_, nullptr);
    }
    static bool stopped() { return g_stop != 0; }

private:
    static inline volatile std::sig_atomic_t g_stop = 0;
    struct sigaction old_int_ {};
    struct sigaction old_term_ {};
};

int mivo_sim_main(int argc, const char *const *argv, std::ostream &out, std::ostream &err)
{
    CLI::App app{"mivo-sim: the mivo driver on a virtual six-axis controller, in virtual time.\n"
                 "With no input it plays a built-in demo session on the base profile and prints a timeline of\n"
                 "the reports the virtual device delivers and of its LED.",
                 "mivo-sim"};
    std::string trace_path;
    std::string registry_path;
    std::vector<std::string> profile_paths;
    std::string plot_path;
    std::string format = "text";
    std::optional<uint64_t> duration;
    int led_flag = 1;
    bool expand = false;
    bool debug_trace = false;
    bool descriptor = false;
    bool decode = false;
    std::vector<uint64_t> unplug_at, replug_at, power_cycle_at;
    bool realtime = false;
    std::optional<std::string> listen;

    app.add_option("--trace", trace_path,
                   "Device reports and writes to play, one per line: '<time in ms> <hex bytes>' or "
                   "'<time in ms> write <hex bytes>', '#' comments; read as the session plays")
        ->type_name("FILE");
    auto *registry_option = app.add_option("--registry", registry_path,
                   "Profile store the driver loads: a .reg file or a hive holding its service key (default: none, "
                   "the base profile alone)")
        ->type_name("FILE");
    app.add_option("--profile", profile_paths,
                   "Profile files (TOML) or directories of them, compiled in memory into the store the driver loads")
        ->excludes(registry_option)
        ->type_name("FILES");
    app.add_option("--plot", plot_path,
                   "Also draw the session as an SVG picture into this file (kept in memory until the end, unlike "
                   "the timeline, which is printed as the session runs)")->type_name("FILE");
    app.add_option("--format", format, "Output: 'text' (a readable timeline) or 'jsonl' (one JSON object a line)")
        ->check(CLI::IsMember({"text", "jsonl"}))
        ->type_name("FORMAT")
        ->capture_default_str();
    app.add_option("--led-flag", led_flag,
                   "LED resting state the control application asked for; the driver loads with 0, which keeps "
                   "the blink patterns dark")
        ->check(CLI::Range(0, 1))
        ->capture_default_str();
    auto session_time = CLI::Validator(
        [](const std::string &text) -> std::string {
            bool digits = !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
            if (!digits) return "'" + text + "' is not a whole number of milliseconds";
            if (text.size() > 9 || std::stoull(text) > kMaxSessionMs) {
                return "'" + text + "' is longer than a day (" + std::to_string(kMaxSessionMs) + " ms)";
            }
            return "";
        },
        "");
    app.add_option("--duration", duration, "Run until this time (default: the last event plus 1000 ms)")
        ->check(session_time)
        ->type_name("MS");
    app.add_option("--unplug-at", unplug_at,
                   "Pull the controller's cable at this time: surprise removal, then removal (repeatable)")
        ->check(session_time)
        ->type_name("MS");
    app.add_option("--replug-at", replug_at,
                   "Plug it back in at this time: a new device is added and started (repeatable)")
        ->check(session_time)
        ->type_name("MS");
    app.add_option("--power-cycle-at", power_cycle_at,
                   "Power the device down (D3) and up (D0) at this time; reading again restarts it (repeatable)")
        ->check(session_time)
        ->type_name("MS");
    auto *realtime_flag = app.add_flag(
        "--realtime", realtime,
        "Run the driver's worker threads on the real clock and play each event when its time comes; Ctrl-C ends "
        "the session cleanly");
    app.add_option("--listen", listen,
                   "With --realtime: let mivo-ctl --socket PATH steer the session through this local socket; with "
                   "no --trace and no --duration the session then runs until stopped")
        ->needs(realtime_flag)
        ->type_name("PATH");
    app.add_flag("--expand", expand, "Text: print every report, also repeats of the same one");
    app.add_flag("--debug-trace", debug_trace, "Copy the driver's debug trace (DbgPrint) to standard error");
    auto *descriptor_flag = app.add_flag("--descriptor", descriptor,
                 "Print the report descriptor the driver serves, as the class driver got it, in hex, and run nothing");
    app.add_flag("--decode", decode, "With --descriptor: one item a line, with its meaning")->needs(descriptor_flag);

    try {
        app.parse(argc, argv);
    } catch (const CLI::Success &e) {
        return app.exit(e, out, err);
    } catch (const CLI::ParseError &e) {
        err << "mivo-sim: " << e.what() << "\nRun with --help for the options.\n";
        return kExitUsage;
    }

    if (descriptor) {
        // The class driver asks for it when the device starts: a session of
        // no steps is enough.
        SimulationOptions options;
        options.duration_ms = 0;
        SimulationResult result = run_simulation(std::vector<TraceEvent>{}, options);
        if (result.report_descriptor.empty()) {
            for (const std::string &p : result.problems) err << "mivo-sim: simulated kernel: " << p << "\n";
            return kExitInput;
        }
        out << (decode ? descriptor_items_text(result.report_descriptor) : descriptor_hex(result.report_descriptor));
        return kExitOk;
    }

    std::string what = !trace_path.empty() ? trace_path : listen ? "live session" : "demo session";
    std::optional<TraceReader> reader;
    std::optional<TraceEvent> first; // read before anything runs
    if (!trace_path.empty()) {
        try {
            reader.emplace(TraceReader::open(trace_path));
            // A file is checked whole before anything runs, in the memory of
            // one line; what cannot be read twice (a pipe, a device) has its
            // first line checked, and the rest as it plays.
            std::error_code ec;
            if (std::filesystem::is_regular_file(trace_path, ec)) check_trace_file(trace_path);
            first = reader->next();
        } catch (const TraceParseError &e) {
            err << e.what() << "\n";
            return kExitInput;
        }
    }

    std::optional<StoreChoice> store = choose_store(registry_path, profile_paths, err);
    if (!store) return kExitInput;

    TimelinePrinter printer(out, format == "jsonl" ? TimelinePrinter::Format::Jsonl : TimelinePrinter::Format::Text,
                            expand);
    std::vector<TimelineEntry> drawn; // the plot keeps what it draws
    SimulationOptions options;
    options.store = std::move(store->store);
    options.duration_ms = duration;
    options.led_flag = uint8_t(led_flag);
    options.echo_debug_trace = debug_trace;
    for (uint64_t t : unplug_at) options.actions.push_back({DeviceAction::Kind::Unplug, t});
    for (uint64_t t : replug_at) options.actions.push_back({DeviceAction::Kind::Replug, t});
    for (uint64_t t : power_cycle_at) options.actions.push_back({DeviceAction::Kind::PowerCycle, t});
    options.sink = [&](const TimelineEntry &e) {
        printer.add(e);
        if (!plot_path.empty()) drawn.push_back(e);
    };
    if (format != "jsonl") {
        out << "mivo-sim: " << what << " on " << store->description << ", LED resting state " << (led_flag ? "on" : "off")
            << "; times in ms from the start\n";
    }
    options.realtime = realtime;
    options.listen = listen;
    std::optional<StopOnSignal> stop_on_signal;
    if (realtime) {
        stop_on_signal.emplace();
        options.stop = [] { return StopOnSignal::stopped(); };
        // A live timeline is read as it comes.
        options.sink = [&](const TimelineEntry &e) {
            printer.add(e);
            out.flush();
            if (!plot_path.empty()) drawn.push_back(e);
        };
    }
    // A live session waits for mivo-ctl rather than playing the demo.
    bool no_input = !reader && listen.has_value();
    std::vector<TraceEvent> demo = reader || no_input ? std::vector<TraceEvent>{} : demo_script();
    size_t demo_next = 0;
    EventSource source = [&]() -> std::optional<TraceEvent> {
        if (first) return std::exchange(first, std::nullopt);
        if (reader) return reader->next();
        if (demo_next == demo.size()) return std::nullopt;
        return demo[demo_next++];
    };
    if (listen && format != "jsonl") out << "listening on " << *listen << " (mivo-ctl --socket " << *listen << ")\n";
    out.flush();
    SimulationResult result = run_simulation(source, options);
    if (!result.listen_error.empty()) {
        err << "mivo-sim: --listen: " << result.listen_error << "\n";
        return kExitInput;
    }
    printer.finish();
    if (format != "jsonl") out << "end at " << result.end_ms << " ms\n";
    out.flush();
    result.timeline = std::move(drawn);

    if (!plot_path.empty()) {
        std::ofstream file(plot_path, std::ios::binary);
        file << timeline_plot_svg(result);
        file.close();
        if (!file) {
            err << "mivo-sim: cannot write " << plot_path << "\n";
            return kExitInput;
        }
    }

    if (!result.input_error.empty()) {
        err << result.input_error << "\n";
        return kExitInput;
    }
    if (!result.problems.empty()) {
        for (const std::string &p : result.problems) err << "mivo-sim: simulated kernel: " << p << "\n";
        return kExitInput;
    }
    return kExitOk;
}

} // namespace mivo::tools
