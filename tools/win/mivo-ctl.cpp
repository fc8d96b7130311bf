// mivo-ctl for Windows: the same commands as the Linux build (tools/lib/control.h
// parses and encodes them), written to the driver's command report 0xF0
// through hid.dll, and the status report read back.
//
// The collection: mivo's consumer-control top-level collection carries the
// command and status report 0xF0, so the device interface to open is the HID
// collection with usage page 0x0C, usage 0x01 whose output reports are the
// command's 4 bytes.
#include <cstdio>
#include <string>
#include <vector>

#include "tools/lib/control.h"
#include "tools/win/hid_devices.h"

namespace {

constexpr USHORT kConsumerPage = 0x0C;
constexpr USHORT kConsumerControl = 0x01;
constexpr int kExitOk = 0, kExitFailure = 1, kExitUsage = 2;

// Whether this open collection is the one that carries report 0xF0.
bool carries_commands(HANDLE h)
{
    PHIDP_PREPARSED_DATA data = nullptr;
    if (!HidD_GetPreparsedData(h, &data)) return false;
    HIDP_CAPS caps{};
    bool yes = HidP_GetCaps(data, &caps) == HIDP_STATUS_SUCCESS && caps.UsagePage == kConsumerPage &&
               caps.Usage == kConsumerControl && caps.OutputReportByteLength == mivo::control::kReportBytes;
    HidD_FreePreparsedData(data);
    return yes;
}

// Opens mivo's command collection, or returns INVALID_HANDLE_VALUE.
HANDLE open_command_collection()
{
    for (const std::string &path : mivo::win::hid_collection_paths()) {
        HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        if (h == INVALID_HANDLE_VALUE) continue;
        if (carries_commands(h)) return h;
        CloseHandle(h);
    }
    return INVALID_HANDLE_VALUE;
}

bool write_report(HANDLE h, const mivo::control::Report &report)
{
    mivo::control::Report copy = report;
    return HidD_SetOutputReport(h, copy.data(), ULONG(copy.size())) != FALSE;
}

// The next status report the collection delivers within `ms`, if any.
bool read_status(HANDLE h, DWORD ms, std::vector<uint8_t> &report)
{
    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD deadline = GetTickCount() + ms;
    bool found = false;
    std::vector<uint8_t> buffer(64);
    while (!found && LONG(deadline - GetTickCount()) > 0) {
        OVERLAPPED o{};
        o.hEvent = done;
        ResetEvent(done);
        DWORD got = 0;
        if (!ReadFile(h, buffer.data(), DWORD(buffer.size()), &got, &o)) {
            if (GetLastError() != ERROR_IO_PENDING) break;
            if (WaitForSingleObject(done, deadline - GetTickCount()) != WAIT_OBJECT_0) {
                CancelIo(h);
                GetOverlappedResult(h, &o, &got, TRUE);
                break;
            }
            if (!GetOverlappedResult(h, &o, &got, FALSE)) break;
        }
        if (got >= mivo::control::kReportBytes && buffer[0] == mivo::control::kReportId) {
            report.assign(buffer.begin(), buffer.begin() + mivo::control::kReportBytes);
            found = true;
        }
    }
    CloseHandle(done);
    return found;
}

void usage()
{
    std::fprintf(stderr, "Usage: mivo-ctl COMMAND | status\nCommands:\n%.*s  status             the driver's status "
                         "report, read back after asking for it again\n",
                 int(mivo::control::command_summary().size()), mivo::control::command_summary().data());
}

} // namespace

int main(int argc, char **argv)
{
    std::vector<std::string> words(argv + 1, argv + argc);
    if (words.empty() || words[0] == "--help" || words[0] == "-h") {
        usage();
        return words.empty() ? kExitUsage : kExitOk;
    }
    bool status = words[0] == "status";
    mivo::control::Command command{mivo::control::Code::Resend, 0};
    if (status) {
        if (words.size() > 1) {
            std::fprintf(stderr, "mivo-ctl: status: unexpected '%s'\n", words[1].c_str());
            return kExitUsage;
        }
    } else {
        mivo::control::Result<mivo::control::Command> parsed = mivo::control::parse_command(words);
        if (!parsed) {
            std::fprintf(stderr, "mivo-ctl: %s\nRun with --help for the commands.\n", parsed.error.c_str());
            return kExitUsage;
        }
        command = *parsed.value;
    }

    HANDLE h = open_command_collection();
    if (h == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "mivo-ctl: no mivo device found (no HID collection carries report 0xF0)\n");
        return kExitFailure;
    }
    mivo::control::Report report = mivo::control::encode(command);
    int result = kExitOk;
    if (!write_report(h, report)) {
        std::fprintf(stderr, "mivo-ctl: %s: the driver refused the write: %s\n",
                     mivo::control::describe(report).c_str(), mivo::win::last_error().c_str());
        result = kExitFailure;
    } else if (!status) {
        std::printf("%s: written (%u bytes)\n", mivo::control::describe(report).c_str(), unsigned(report.size()));
    } else {
        // A resend makes the driver deliver its status report again.
        std::vector<uint8_t> bytes;
        mivo::control::Result<mivo::control::Status> decoded;
        if (read_status(h, 1000, bytes)) decoded = mivo::control::decode_status(bytes);
        if (decoded) {
            std::printf("%s\n", mivo::control::describe(*decoded.value).c_str());
        } else {
            std::fprintf(stderr, "mivo-ctl: no status report within 1 s\n");
            result = kExitFailure;
        }
    }
    CloseHandle(h);
    return result;
}
