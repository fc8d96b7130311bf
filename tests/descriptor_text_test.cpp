// mivo-sim --descriptor: the report descriptor the driver serves, as the class
// driver got it, in hex and item by item.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "hid/hid.h"
#include "support/sim_test.h"
#include "tests/support/bytes.h"
#include "tools/lib/descriptor_text.h"
#include "tests/support/cli_run.h"

using namespace mivo::tools;
using test_bytes::hex;

namespace {

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

class MivoSimDescriptor : public SimTest {};

TEST_F(MivoSimDescriptor, HexStartsWithTheJoystickAndHoldsBothHalves)
{
    CliRun r = run_sim_cli({"--descriptor"});
    ASSERT_EQ(r.status, kExitOk) << r.err;
    std::vector<std::string> lines = lines_of(r.out);
    ASSERT_GT(lines.size(), 24u);
    EXPECT_EQ(lines[0], "0000  05 01 09 04 A1 01 85 F1 05 01 09 01 A1 00 15 00");
    EXPECT_EQ(lines[23].substr(0, 6 + 13 * 3 - 1), "0170  F0 05 01 09 3A 75 08 95 03 81 02 C0 C0")
        << "the virtual half ends at 380 with the consumer control's End Collection";
    EXPECT_EQ(lines[23].substr(6 + 13 * 3), "05 01 09") << "the device's own descriptor follows at 381";
    for (size_t i = 0; i + 1 < lines.size(); i++) EXPECT_EQ(lines[i].size(), 6u + 16 * 3 - 1) << "16 bytes a line";
}

TEST_F(MivoSimDescriptor, DecodeNamesEachItemInsideItsCollections)
{
    CliRun r = run_sim_cli({"--descriptor", "--decode"});
    ASSERT_EQ(r.status, kExitOk) << r.err;
    const char *expected[] = {
        "0000  05 01          Usage Page (Generic Desktop)",
        "0006  85 F1            Report ID (0xF1)",
        "0010  26 D0 02           Logical Maximum (720)",
        "0081  65 14            Unit (0x14: English Rotation, degrees)",
        "0087  81 42            Input (Data, Variable, Absolute, Null State)",
        "008D  81 01            Input (Constant, Array, Absolute)",
        "00B2  15 81              Logical Minimum (-127)",
        "00FE  19 E0            Usage Minimum (0xE0: LeftCtrl)",
        "013B  0A 8A 01         Usage (AL Email Reader (0x18A))",
        "0156  81 62            Input (Data, Variable, Absolute, No Preferred, Null State)",
        "0165  06 00 FF           Usage Page (vendor-defined 0xFF00)",
        "016A  91 02              Output (Data, Variable, Absolute)",
        "017C  C0             End Collection",
        "017F  09 08          Usage (Multi-axis Controller)",
    };
    for (const char *line : expected) {
        EXPECT_NE(r.out.find(std::string(line) + "\n"), std::string::npos) << line;
    }
    EXPECT_EQ(run_sim_cli({"--decode"}).status, kExitUsage) << "--decode only says how to print the descriptor";
}

TEST(DescriptorText, GlobalsFollowPushAndPopAndBrokenItemsAreLocated)
{
    // Usage Page (LED); Push; Usage Page (Button); Usage (2); Pop; Usage (0x4B);
    // Usage (4 bytes: Consumer 0xE2); Unit (SI Linear, cm/s^2 as 0xE011);
    // Report Size with a 2-byte item cut short.
    std::string text = descriptor_items_text(hex("05 08 A4 05 09 09 02 B4 09 4B 0B E2 00 0C 00 66 11 E0 76 10"));
    const std::string items = "0000  05 08          Usage Page (LED)\n"
                              "0002  A4             Push\n"
                              "0003  05 09          Usage Page (Button)\n"
                              "0005  09 02          Usage (Button 2)\n"
                              "0007  B4             Pop\n"
                              "0008  09 4B          Usage (Generic Indicator)\n"
                              "000A  0B E2 00 0C 00 Usage (Mute)\n"
                              "000F  66 11 E0       Unit (0xE011: SI Linear, cm, s^-2)\n"
                              "0012  error: ";
    EXPECT_EQ(text.substr(0, items.size()), items);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 9);
}

} // namespace
