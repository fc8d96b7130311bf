// DbgPrint as the kernel formats it, and the trace that tests read back.

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>

#include "core/trace.h"
#include "platform/kernel.h"
#include "tests/support/sim_test.h"

using ::testing::ElementsAre;

class SimTrace : public SimTest {};

TEST_F(SimTrace, FormatsAsTheKernelDoes) {
    static const WCHAR kPath[] = MIVO_WIDE("\\Registry\\Machine");
    static const WCHAR kAccented[] = {u'\u00e9', u'\u20ac', 0xD83D, 0xDE00, 0}; // é € 😀
    UNICODE_STRING counted;
    RtlInitUnicodeString(&counted, MIVO_WIDE("Layer01 and more"));
    counted.Length = 7 * sizeof(WCHAR);

    struct Case {
        const char *name;
        std::function<void()> print;
        std::string text;
    };
    const Case cases[] = {
        {"%s", [] { DbgPrint("> Enter: %s: ", "MIVO_AddDevice"); }, "> Enter: MIVO_AddDevice: "},
        {"%s of NULL", [] { DbgPrint("%s", static_cast<const char *>(nullptr)); }, "(null)"},
        {"%ws", [] { DbgPrint("newpath bis %ws", kPath); }, "newpath bis \\Registry\\Machine"},
        {"%S", [] { DbgPrint("[%S]", kPath); }, "[\\Registry\\Machine]"},
        {"%ws beyond ASCII", [] { DbgPrint("%ws", kAccented); }, "\u00e9\u20ac\U0001F600"},
        {"%wZ stops at Length", [&] { DbgPrint("Open Layer %wZ", &counted); }, "Open Layer Layer01"},
        {"%c", [] { DbgPrint("%c%c", 'o', 'k'); }, "ok"},
        {"%d negative", [] { DbgPrint("%d", -360); }, "-360"},
        {"%i", [] { DbgPrint("%i", 720); }, "720"},
        {"%u of ULONG max", [] { DbgPrint("%u", ULONG(0xFFFFFFFF)); }, "4294967295"},
        {"%x of a status", [] { DbgPrint("%x: usb_start failed", STATUS_BUFFER_TOO_SMALL); }, "c0000023: usb_start failed"},
        {"%X", [] { DbgPrint("%X", 0xbeefu); }, "BEEF"},
        {"%08X", [] { DbgPrint("%08X", 0x1234u); }, "00001234"},
        {"%08x of a negative", [] { DbgPrint("%08x", -1); }, "ffffffff"},
        {"%5d", [] { DbgPrint("[%5d]", 42); }, "[   42]"},
        {"%-5d", [] { DbgPrint("[%-5d]", 42); }, "[42   ]"},
        {"%05d negative", [] { DbgPrint("[%05d]", -42); }, "[-0042]"},
        {"%ld is 32 bits", [] { DbgPrint("%ld %lx", LONG(-2), ULONG(0xC0000001)); }, "-2 c0000001"},
        {"%lu", [] { DbgPrint("%lu", ULONG(3000000000u)); }, "3000000000"},
        {"%hd and %hx", [] { DbgPrint("%hd %hx", 0x18000, 0x12345); }, "-32768 2345"},
        {"%I64x", [] { DbgPrint("%I64x", ULONGLONG(0x123456789ABCDEF0ULL)); }, "123456789abcdef0"},
        {"%I64d", [] { DbgPrint("%I64d", LONGLONG(-5000000000LL)); }, "-5000000000"},
        {"%llu", [] { DbgPrint("%llu", ULONGLONG(18446744073709551615ULL)); }, "18446744073709551615"},
        {"%p is 16 upper-case digits", [] { DbgPrint("%p", reinterpret_cast<PVOID>(uintptr_t{0xabc123})); }, "0000000000ABC123"},
        {"%p of NULL", [] { DbgPrint("%p, %p", static_cast<PVOID>(nullptr), reinterpret_cast<PVOID>(uintptr_t{1})); },
         "0000000000000000, 0000000000000001"},
        {"%p of a kernel address", [] { DbgPrint("%p", reinterpret_cast<PVOID>(uintptr_t{0xFFFFE00012345678ULL})); },
         "FFFFE00012345678"},
        {"%%", [] { DbgPrint("100%% %d%%", 5); }, "100% 5%"},
        {"text only", [] { DbgPrint("Relance My Led"); }, "Relance My Led"},
        {"mixed line", [] { DbgPrint("Profil_Id %d - Profil_Name %ws  - DeadZone %d ", 3, MIVO_WIDE("Flight"), 40); },
         "Profil_Id 3 - Profil_Name Flight  - DeadZone 40 "},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        sim::trace_clear();
        c.print();
        EXPECT_EQ(sim::trace_text(), c.text);
    }
}

TEST_F(SimTrace, ReturnsSuccess) { EXPECT_EQ(DbgPrint("x"), ULONG(STATUS_SUCCESS)); }

TEST_F(SimTrace, ThreePrintsMakeOneLine) {
    MIVO_TRACE_ENTER("%p, %p", reinterpret_cast<PVOID>(uintptr_t{0x10}), reinterpret_cast<PVOID>(uintptr_t{0x20}));
    MIVO_TRACE_LEAVE("STATUS_SUCCESS");
    MIVO_TRACE_LINE("already cancelling: %p", reinterpret_cast<PVOID>(uintptr_t{0x30}));
    EXPECT_THAT(sim::trace_lines(),
                ElementsAre("> Enter: TestBody: 0000000000000010, 0000000000000020",
                            "> Leave: TestBody: STATUS_SUCCESS", "already cancelling: 0000000000000030"));
}

TEST_F(SimTrace, SplitsAtLineFeedsAndKeepsAnOpenLine) {
    struct Case {
        const char *name;
        std::vector<const char *> prints;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {"nothing", {}, {}},
        {"ended lines", {"a\nb\n"}, {"a", "b"}},
        {"open last line", {"a\n", "b"}, {"a", "b"}},
        {"empty line", {"a\n\nb\n"}, {"a", "", "b"}},
        {"pieces", {"x", "y", "\nz"}, {"xy", "z"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        sim::trace_clear();
        for (const char *p : c.prints)
            DbgPrint(p);
        EXPECT_EQ(sim::trace_lines(), c.lines);
    }
}

TEST_F(SimTrace, ResetAndClearForgetTheTrace) {
    DbgPrint("before\n");
    DbgPrint("open");
    sim::trace_clear();
    EXPECT_TRUE(sim::trace_lines().empty());
    EXPECT_EQ(sim::trace_text(), "");
    DbgPrint("again\n");
    sim::reset();
    EXPECT_EQ(sim::trace_text(), "");
}

TEST_F(SimTrace, OnePrintIsCutAt512Bytes) {
    std::string longer(600, 'a');
    DbgPrint("%s", longer.c_str());
    EXPECT_EQ(sim::trace_text().size(), 512u);
}

class ThreadedSimTrace : public SimTest {};

TEST_F(ThreadedSimTrace, LinesOfConcurrentThreadsStayWhole) {
    // Each traced event is three prints; another thread printing meanwhile
    // must not split it.
    constexpr int kLines = 300;
    auto writer = [](const char *who) {
        for (int i = 0; i < kLines; ++i) {
            DbgPrint("> Enter: %s: ", who);
            DbgPrint("%d", i);
            DbgPrint("\n");
        }
    };
    std::thread a(writer, "usb_worker"), b(writer, "hid_worker");
    a.join();
    b.join();
    std::vector<std::string> lines = sim::trace_lines();
    ASSERT_EQ(lines.size(), size_t(2 * kLines));
    int next[2] = {0, 0};
    for (const std::string &line : lines) {
        int who = line.rfind("> Enter: usb_worker: ", 0) == 0 ? 0 : 1;
        std::string expected = std::string(who == 0 ? "> Enter: usb_worker: " : "> Enter: hid_worker: ") +
                               std::to_string(next[who]++);
        EXPECT_EQ(line, expected);
    }
}
