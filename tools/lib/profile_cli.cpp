#include "tools/lib/profile_cli.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>

#include <CLI/CLI.hpp>

#include "tools/lib/hive.h"
#include "tools/lib/profile_file.h"
#include "tools/lib/profile_names.h"
#include "tools/lib/profile_plot.h"
#include "tools/lib/profile_store.h"
#include "tools/lib/sim_cli.h"

namespace mivo::tools {

namespace {

namespace fs = std::filesystem;
using namespace mivo::profile;

void print(std::ostream &err, const std::vector<Diagnostic> &diagnostics)
{
    for (const Diagnostic &d : diagnostics)
        err << format_diagnostic(d) << "\n";
}

// Reads and checks the files; prints every problem. Empty on any error.
std::optional<std::vector<ProfileFile>> load(const std::vector<std::string> &paths, std::ostream &err)
{
    std::vector<Diagnostic> diagnostics;
    auto files = read_profiles(paths, diagnostics);
    print(err, diagnostics);
    return files;
}

std::string slug(const Profile &p)
{
    std::string out;
    for (unsigned char c : p.name) {
        if (std::isalnum(c))
            out += char(std::tolower(c));
        else if (!out.empty() && out.back() != '-')
            out += '-';
    }
    while (!out.empty() && out.back() == '-')
        out.pop_back();
    return out.empty() ? "profile" + std::to_string(p.id) : out.substr(0, 40);
}

bool write_text(const std::string &path, const std::string &text, std::ostream &err)
{
    std::ofstream file(path, std::ios::binary);
    file << text;
    if (!file.flush()) {
        err << path << ": cannot write\n";
        return false;
    }
    return true;
}

int run_compile(const std::vector<std::string> &paths, std::optional<int> default_id, const std::string &output,
                std::ostream &out, std::ostream &err)
{
    auto files = load(paths, err);
    if (!files)
        return kExitInput;
    Store store = make_store(*files, default_id ? std::optional<int16_t>(int16_t(*default_id)) : std::nullopt);
    regfile::Document document = compile(store, subkey_names_for(*files));
    std::string extension = fs::path(output).extension().string();
    try {
        if (extension == ".hiv")
            hive::write(output, document, kServiceKey);
        else
            regfile::write_file(output, replacing(document));
    } catch (const std::exception &e) {
        err << "mivo-profile: " << e.what() << "\n";
        return kExitInput;
    }
    out << output << ": " << store.profiles.size() << " profile(s), default " << store.default_id << "\n";
    return kExitOk;
}

int run_decompile(const std::string &input, const std::string &directory, std::ostream &out, std::ostream &err)
{
    regfile::Document document;
    try {
        document = hive::read_store_file(input, kServiceKey);
    } catch (const std::exception &e) {
        err << e.what() << "\n";
        return kExitInput;
    }
    Decompiled d = decompile(document, input);
    print(err, d.diagnostics);
    if (has_errors(d.diagnostics))
        return kExitInput;
    std::error_code ec;
    fs::create_directories(directory, ec);
    std::vector<int16_t> ids;
    for (const Profile &p : d.store.profiles)
        ids.push_back(p.id);
    bool default_named = std::find(ids.begin(), ids.end(), d.store.default_id) != ids.end();
    size_t count = d.store.profiles.size();
    size_t width = std::max<size_t>(2, std::to_string(count).size());
    for (size_t n = 0; n < count; n++) {
        const Profile &p = d.store.profiles[n];
        std::string number = std::to_string(n + 1);
        number.insert(0, width - number.size(), '0');
        std::string path = (fs::path(directory) / (number + "-" + slug(p) + ".toml")).string();
        std::optional<int16_t> default_profile;
        if (!default_named && n == 0)
            default_profile = d.store.default_id;
        std::string text = to_toml(p, d.subkeys[n], p.id == d.store.default_id, default_profile, &ids);
        if (!write_text(path, text, err))
            return kExitInput;
        out << path << "\n";
    }
    return kExitOk;
}

int run_show(const std::vector<std::string> &paths, std::ostream &out, std::ostream &err)
{
    auto files = load(paths, err);
    if (!files)
        return kExitInput;
    for (const ProfileFile &f : *files) {
        const Profile &p = f.profile;
        out << p.where.file << ": profile " << p.id << " \"" << p.name << "\", dead zone " << p.dead_zone << ", "
            << p.binds.size() << " bind(s) in the order the driver evaluates them\n";
        std::vector<std::string> lines = describe(p);
        for (size_t n = 0; n < lines.size(); n++)
            out << "  " << (n + 1) << ". " << lines[n] << "\n";
    }
    return kExitOk;
}

int run_plot(const std::string &path, const std::string &output, std::ostream &err)
{
    auto files = load({path}, err);
    if (!files)
        return kExitInput;
    if (files->size() != 1) {
        err << "mivo-profile plot: give one profile file\n";
        return kExitUsage;
    }
    return write_text(output, response_plot_svg(files->front().profile), err) ? kExitOk : kExitInput;
}

} // namespace

int mivo_profile_main(int argc, const char *const *argv, std::ostream &out, std::ostream &err)
{
    CLI::App app{"mivo-profile: profile files (TOML) <-> the driver's profile store in the registry.", "mivo-profile"};
    app.require_subcommand(1);

    std::vector<std::string> inputs;
    std::string single, output;
    std::optional<int> default_id;

    auto *check_cmd = app.add_subcommand("check", "Report every problem of the profile files as FILE:LINE:COL");
    check_cmd->add_option("FILES", inputs, "Profile files, or directories of them")->required();

    auto *compile_cmd = app.add_subcommand(
        "compile", "Write the profile store: a .reg file regedit imports (replacing the store), or a .hiv hive.\n"
                   "The gesture steps through the profiles in the order of the files.");
    compile_cmd->add_option("FILES", inputs, "Profile files, or directories of them")->required();
    compile_cmd->add_option("--default", default_id, "The profile the driver selects when none is asked for")
        ->check(CLI::Range(-32768, 32767))
        ->type_name("ID");
    compile_cmd->add_option("-o,--output", output, "store.reg or store.hiv")->required()->type_name("FILE");

    auto *decompile_cmd = app.add_subcommand("decompile", "Write a store's profiles back as files, one a profile");
    decompile_cmd->add_option("STORE", single, "A .reg file or a hive")->required();
    decompile_cmd->add_option("-o,--output", output, "Directory for the profile files")->required()->type_name("DIR");

    auto *show_cmd = app.add_subcommand("show", "The binds in words, in the order the driver evaluates them");
    show_cmd->add_option("FILES", inputs, "Profile files, or directories of them")->required();

    auto *plot_cmd = app.add_subcommand("plot", "Response curves of the axis binds, as SVG");
    plot_cmd->add_option("FILE", single, "A profile file")->required();
    plot_cmd->add_option("-o,--output", output, "curves.svg")->required()->type_name("FILE");

    try {
        app.parse(argc, argv);
    } catch (const CLI::Success &e) {
        return app.exit(e, out, err);
    } catch (const CLI::ParseError &e) {
        err << "mivo-profile: " << e.what() << "\nRun with --help for the commands.\n";
        return kExitUsage;
    }

    if (*check_cmd) {
        auto files = load(inputs, err);
        if (!files)
            return kExitInput;
        out << files->size() << " profile(s), no errors\n";
        return kExitOk;
    }
    if (*compile_cmd) {
        std::string extension = fs::path(output).extension().string();
        if (extension != ".reg" && extension != ".hiv") {
            err << "mivo-profile compile: the output is a .reg or a .hiv file, not '" << output << "'\n";
            return kExitUsage;
        }
        return run_compile(inputs, default_id, output, out, err);
    }
    if (*decompile_cmd)
        return run_decompile(single, output, out, err);
    if (*show_cmd)
        return run_show(inputs, out, err);
    return run_plot(single, output, err);
}

} // namespace mivo::tools
