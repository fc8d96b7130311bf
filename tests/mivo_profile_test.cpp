// mivo-profile as people run it: exit codes, located messages, a .reg file
// regedit takes and a hive, each decompiled into files that compile to the
// same bytes again, and binds shown in words.
#include <gmock/gmock.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tools/lib/profile_cli.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

namespace fs = std::filesystem;

const fs::path kSourceDir = fs::path(__FILE__).parent_path().parent_path();

struct Outcome {
    int code;
    std::string out, err;
};

Outcome run(std::vector<std::string> args)
{
    args.insert(args.begin(), "mivo-profile");
    std::vector<const char *> argv;
    for (auto &a : args)
        argv.push_back(a.c_str());
    std::ostringstream out, err;
    int code = mivo::tools::mivo_profile_main(int(argv.size()), argv.data(), out, err);
    return {code, out.str(), err.str()};
}

std::string slurp(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::string> lines(const std::string &text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

class MivoProfile : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = fs::temp_directory_path() /
               ("mivo_profile_test_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string write(const std::string &name, const std::string &text)
    {
        std::ofstream(dir_ / name) << text;
        return (dir_ / name).string();
    }
    std::string at(const std::string &name) const { return (dir_ / name).string(); }

    fs::path dir_;
};

std::string example(const std::string &path)
{
    return (kSourceDir / "examples/profiles" / path).string();
}

} // namespace

TEST_F(MivoProfile, CheckPrintsEachProblemWithItsPlaceAndFails)
{
    std::string a = write("a.toml", "id = 1\n[[bind]]\nsource = \"button 0\"\nprofile = 2\n");
    std::string b = write("b.toml", "id = 1\n[[bind]]\nsource = \"tx\"\njoystick_axis = \"q\"\n");
    Outcome r = run({"check", a, b});
    EXPECT_EQ(r.code, 1);
    EXPECT_THAT(lines(r.err),
                ElementsAre(b + ":4:17: error: unknown joystick axis 'q' (x y z rx ry rz slider1 slider2, or 0..7)"));

    b = write("b.toml", "id = 1\n");
    r = run({"check", a, b});
    EXPECT_EQ(r.code, 1);
    EXPECT_THAT(lines(r.err), ElementsAre(a + ":4:11: error: switch to profile 2, which no file defines",
                                          b + ":1:6: error: profile id 1 is already defined in " + a +
                                              ":1; the driver would skip this one"));

    r = run({"check", example("flight.toml"), example("cad.toml"), example("media.toml"), example("set")});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.err, "") << "the examples check clean, without warnings";
    EXPECT_EQ(r.out, "6 profile(s), no errors\n");

    std::string warned = write("w.toml", "id = 1\ndead_zone = 400\n[[bind]]\nsource = \"tx\"\nmouse_x = 9\n");
    r = run({"check", warned});
    EXPECT_EQ(r.code, 0) << "warnings alone do not fail";
    EXPECT_THAT(r.err, HasSubstr(warned + ":3:1: warning: dead zone 400"));
}

// A store written as .reg and as a hive, read back into files that compile to
// the same bytes: the .reg in regedit's own encoding, replacing the old store.
TEST_F(MivoProfile, CompileDecompileCompileGivesTheSameBytes)
{
    std::vector<std::string> inputs = {example("flight.toml"), example("cad.toml"), example("media.toml"),
                                       example("set")};
    for (std::string kind : {".reg", ".hiv"}) {
        SCOPED_TRACE(kind);
        std::string store = at("store" + kind), again = at("again" + kind), files = at("files" + kind);
        std::vector<std::string> args = {"compile", "-o", store, "--default", "2"};
        args.insert(args.end(), inputs.begin(), inputs.end());
        Outcome r = run(args);
        ASSERT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(r.out, store + ": 6 profile(s), default 2\n");

        r = run({"decompile", store, "-o", files});
        ASSERT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(lines(r.out).size(), 6u);
        EXPECT_EQ(lines(r.out)[0], (fs::path(files) / "01-flight.toml").string()) << "numbered in list order";

        r = run({"compile", files, "-o", again});
        ASSERT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(r.out, again + ": 6 profile(s), default 2\n") << "the default comes back from the files";
        EXPECT_EQ(slurp(again), slurp(store));
    }
    std::string text = slurp(at("store.reg"));
    ASSERT_GE(text.size(), 4u);
    EXPECT_EQ(text.substr(0, 2), "\xFF\xFE") << "UTF-16LE with a BOM, as regedit writes";
    EXPECT_THAT(text, HasSubstr(std::string("\r\0\n\0", 4)));
}

TEST_F(MivoProfile, ShowGivesTheBindsInEvaluationOrder)
{
    Outcome r = run({"show", example("cad.toml")});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_THAT(lines(r.out),
                ElementsAre(example("cad.toml") +
                                ": profile 2 \"CAD navigation\", dead zone 30, 8 bind(s) in the order the driver "
                                "evaluates them",
                            "  1. tx, dead zone 30 -> mouse x, speed 60", "  2. ty, dead zone 30 -> mouse y, speed 60",
                            "  3. rz, dead zone 30 -> wheel, slowness 8",
                            "  4. ry, dead zone 30, min 200, positive side only -> keys Right (repeat 250 ms)",
                            "  5. button 0 tapped (under 500 ms) -> keys LeftCtrl+Z",
                            "  6. button 1 tapped (under 500 ms) -> keys LeftCtrl+LeftShift+Z",
                            "  7. button 0 held 800 ms -> keys LeftShift (latch)",
                            "  8. button 1 held 800 ms -> keys LeftShift (no press, unlatch)"));
}

TEST_F(MivoProfile, UsageErrorsExitWithTwo)
{
    EXPECT_EQ(run({}).code, 2);
    EXPECT_EQ(run({"compile", example("flight.toml"), "-o", at("x.txt")}).code, 2);
    EXPECT_EQ(run({"compile", example("flight.toml")}).code, 2) << "no output";
    EXPECT_EQ(run({"check"}).code, 2);
    Outcome missing = run({"decompile", at("none.reg"), "-o", at("d")});
    EXPECT_EQ(missing.code, 1) << "a store that cannot be read is an input problem";
}
