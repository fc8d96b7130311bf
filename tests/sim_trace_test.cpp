// DbgPrint as the kernel formats it, and the trace that tests read back.

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>

#include "platform/trace.h"
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
    const std::string longer(600, 'a');
    struct Case { const char *name; std::function<ULONG()> print; std::string text; } cases[] = {
        {"%s and NULL", [] { return DbgPrint("> Enter: %s: %s", "MIVO_AddDevice", static_cast<const char *>(nullptr)); },
         "> Enter: MIVO_AddDevice: (null)"},
        {"%ws and %S", [] { return DbgPrint("newpath %ws [%S]", kPath, kPath); }, "newpath \\Registry\\Machine [\\Registry\\Machine]"},
        {"%ws beyond ASCII", [] { return DbgPrint("%ws", kAccented); }, "\u00e9\u20ac\U0001F600"},
        {"%wZ stops at Length", [&] { return DbgPrint("Open Layer %wZ", &counted); }, "Open Layer Layer01"},
        {"%c and %%", [] { return DbgPrint("%c%c 100%% %d%%", 'o', 'k', 5); }, "ok 100% 5%"},
        {"%d and %i", [] { return DbgPrint("%d %i", -360, 720); }, "-360 720"},
        {"%u of ULONG max", [] { return DbgPrint("%u", ULONG(0xFFFFFFFF)); }, "4294967295"},
        {"%x of a status, %X", [] { return DbgPrint("%x: failed %X", STATUS_BUFFER_TOO_SMALL, 0xbeefu); }, "c0000023: failed BEEF"},
        {"%08X and %08x of -1", [] { return DbgPrint("%08X %08x", 0x1234u, -1); }, "00001234 ffffffff"},
        {"widths", [] { return DbgPrint("[%5d][%-5d][%05d]", 42, 42, -42); }, "[   42][42   ][-0042]"},
        {"%l is 32 bits", [] { return DbgPrint("%ld %lx %lu", LONG(-2), ULONG(0xC0000001), ULONG(3000000000u)); },
         "-2 c0000001 3000000000"},
        {"%h is 16 bits", [] { return DbgPrint("%hd %hx", 0x18000, 0x12345); }, "-32768 2345"},
        {"%I64x", [] { return DbgPrint("%I64x", ULONGLONG(0x123456789ABCDEF0ULL)); }, "123456789abcdef0"},
        {"%I64d and %llu", [] { return DbgPrint("%I64d %llu", LONGLONG(-5000000000LL), ULONGLONG(18446744073709551615ULL)); },
         "-5000000000 18446744073709551615"},
        {"%p is 16 upper-case digits",
         [] { return DbgPrint("%p %p", static_cast<PVOID>(nullptr), reinterpret_cast<PVOID>(uintptr_t{0xabc123})); },
         "0000000000000000 0000000000ABC123"},
        {"%p of a kernel address", [] { return DbgPrint("%p", reinterpret_cast<PVOID>(uintptr_t{0xFFFFE00012345678ULL})); },
         "FFFFE00012345678"},
        {"one print is cut at 512 bytes", [&] { return DbgPrint("%s", longer.c_str()); }, std::string(512, 'a')},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        sim::trace_clear();
        EXPECT_EQ(c.print(), ULONG(STATUS_SUCCESS));
        EXPECT_EQ(sim::trace_text(), c.text);
    }
}

TEST_F(SimTrace, ThreePrintsMakeOneLineAndLineFeedsSplit) {
    MIVO_TRACE_ENTER("%p, %p", reinterpret_cast<PVOID>(uintptr_t{0x10}), reinterpret_cast<PVOID>(uintptr_t{0x20}));
    MIVO_TRACE_LEAVE("STATUS_SUCCESS");
    DbgPrint("x");
    DbgPrint("y\n\nz");
    EXPECT_THAT(sim::trace_lines(), ElementsAre("> Enter: TestBody: 0000000000000010, 0000000000000020",
                                                "> Leave: TestBody: STATUS_SUCCESS", "xy", "", "z"));
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
        const char *who = line.rfind("> Enter: usb_worker: ", 0) == 0 ? "usb_worker" : "hid_worker";
        EXPECT_EQ(line, std::string("> Enter: ") + who + ": " + std::to_string(next[who[0] == 'h']++));
    }
}
