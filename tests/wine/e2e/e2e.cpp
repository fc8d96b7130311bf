// mivo-e2e.exe: the Windows side of the end-to-end run (scripts/wine_e2e.sh).
//
//   mivo-e2e VBUS_INF MIVO_INF TRACE [STORE.reg]
//
// 1. installs the virtual bus (a root device) with the trace it is to play,
//    waits for the controller to appear on it, installs mivo.sys for the
//    controller from MIVO_INF and waits for mivo's HID collections;
// 2. imports the profile store, when one is given, as a user would: regedit;
// 3. opens every HID collection of the controller, starts the bus playing,
//    writes the trace's writes through HidD_SetOutputReport at their times,
//    reads every collection until the session's end (the last event plus
//    1000 ms) and prints what it read as mivo-sim --format jsonl prints it;
// 4. pulls the controller off the bus, waits until the driver stack on it is
//    removed, has mivo.sys unloaded and removes the bus device.
// One process for the whole session: Wine's device host prints the drivers'
// debug output where the process that started the session prints, and keeps
// doing so only while that process lives.
//
// Errors go to standard error with what was being done; the exit status is 0,
// 1 (failed) or 2 (usage).
#include <windows.h>

#include <newdev.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "tests/wine/vbus/vbus_ioctl.h"
#include "tools/lib/control.h"
#include "tools/lib/report_format.h"
#include "tools/lib/trace_file.h"
#include "tools/win/hid_devices.h"

namespace {

constexpr USHORT kVendor = 0xF055, kProduct = 0x6A11;
constexpr char kBusInstance[] = "ROOT\\MIVO_VBUS\\0";
constexpr char kBusHardwareId[] = "ROOT\\MIVO_VBUS\0";
constexpr char kControllerHardwareId[] = "USB\\VID_F055&PID_6A11";
constexpr char kBusServiceKey[] = "SYSTEM\\CurrentControlSet\\Services\\mivo_vbus";
constexpr int kExitOk = 0, kExitFailure = 1, kExitUsage = 2;

using mivo::win::last_error;

bool fail(const std::string &what)
{
    std::fprintf(stderr, "mivo-e2e: %s: %s\n", what.c_str(), last_error().c_str());
    return false;
}

std::string full_path(const std::string &path)
{
    char buffer[MAX_PATH];
    DWORD n = GetFullPathNameA(path.c_str(), sizeof buffer, buffer, nullptr);
    return n && n < sizeof buffer ? std::string(buffer, n) : path;
}

// ---------------------------------------------------------------- the controller's collections
struct Collection {
    HANDLE handle = INVALID_HANDLE_VALUE;
    HIDP_CAPS caps{};
    std::string path;
};

std::vector<Collection> open_collections()
{
    std::vector<Collection> found;
    for (const std::string &path : mivo::win::hid_collection_paths()) {
        Collection c;
        c.path = path;
        c.handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        if (c.handle == INVALID_HANDLE_VALUE) continue;
        HIDD_ATTRIBUTES attributes{};
        attributes.Size = sizeof attributes;
        PHIDP_PREPARSED_DATA data = nullptr;
        bool ours = HidD_GetAttributes(c.handle, &attributes) && attributes.VendorID == kVendor &&
                    attributes.ProductID == kProduct && HidD_GetPreparsedData(c.handle, &data);
        if (ours) {
            HidP_GetCaps(data, &c.caps);
            HidD_FreePreparsedData(data);
            HidD_SetNumInputBuffers(c.handle, 512);
            found.push_back(c);
        } else {
            CloseHandle(c.handle);
        }
    }
    return found;
}

size_t count_collections()
{
    std::vector<Collection> all = open_collections();
    for (Collection &c : all) CloseHandle(c.handle);
    return all.size();
}

// Waits up to `ms` for `want(count)` to hold of the number of collections.
template <typename Want> bool wait_collections(DWORD ms, Want want, size_t *count)
{
    DWORD start = GetTickCount();
    for (;;) {
        *count = count_collections();
        if (want(*count)) return true;
        if (GetTickCount() - start > ms) return false;
        Sleep(100);
    }
}

// ---------------------------------------------------------------- install and remove
HANDLE open_bus()
{
    HANDLE bus = CreateFileA(VBUS_USER_PATH, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (bus == INVALID_HANDLE_VALUE) fail("opening the bus's control device " VBUS_USER_PATH);
    return bus;
}

// One request without data to the bus; `what` says what failed (nullptr: quietly).
bool bus_request(DWORD code, const char *what)
{
    HANDLE bus = what ? open_bus() : CreateFileA(VBUS_USER_PATH, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                                 OPEN_EXISTING, 0, nullptr);
    if (bus == INVALID_HANDLE_VALUE) return false;
    DWORD got = 0;
    bool ok = DeviceIoControl(bus, code, nullptr, 0, nullptr, 0, &got, nullptr) || (what && fail(what));
    CloseHandle(bus);
    return ok;
}

bool install(const std::string &vbus_inf, const std::string &mivo_inf, const std::string &trace)
{
    // The trace first: the bus reads it when it loads.
    HKEY key;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kBusServiceKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr))
        return fail("creating the bus's service key");
    std::string nt_path = "\\??\\" + full_path(trace);
    LONG set = RegSetValueExA(key, "Trace", 0, REG_SZ, reinterpret_cast<const BYTE *>(nt_path.c_str()),
                              DWORD(nt_path.size() + 1));
    RegCloseKey(key);
    if (set) return SetLastError(DWORD(set)), fail("writing the trace's path");

    HDEVINFO devices = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    bool ok = SetupDiCreateDeviceInfoA(devices, kBusInstance, &GUID_NULL, nullptr, nullptr, 0, &device) ||
              fail("creating the bus device");
    ok = ok && (SetupDiSetDeviceRegistryPropertyA(devices, &device, SPDRP_HARDWAREID,
                                                  reinterpret_cast<const BYTE *>(kBusHardwareId),
                                                  sizeof kBusHardwareId) ||
                fail("setting the bus's hardware ID"));
    ok = ok && (SetupDiCallClassInstaller(DIF_REGISTERDEVICE, devices, &device) || fail("registering the bus device"));
    SetupDiDestroyDeviceInfoList(devices);
    BOOL reboot = FALSE;
    ok = ok && (UpdateDriverForPlugAndPlayDevicesA(nullptr, kBusHardwareId, full_path(vbus_inf).c_str(),
                                                   INSTALLFLAG_FORCE, &reboot) ||
                fail("installing mivo-vbus.sys on the bus device"));
    if (!ok) return false;

    // The bus reports the controller as soon as it starts; until the PnP
    // manager has it, no device matches the controller's hardware ID.
    DWORD start = GetTickCount();
    while (!UpdateDriverForPlugAndPlayDevicesA(nullptr, kControllerHardwareId, full_path(mivo_inf).c_str(),
                                               INSTALLFLAG_FORCE, &reboot)) {
        if (GetLastError() != ERROR_NO_SUCH_DEVINST || GetTickCount() - start > 20000)
            return fail("installing mivo.sys on the controller");
        Sleep(100);
    }
    // The PnP manager found no driver for the controller when it came and
    // left it so; plugged in again, it comes with the driver just installed.
    if (!bus_request(IOCTL_VBUS_UNPLUG, "unplugging the controller")) return false;
    start = GetTickCount();
    while (!bus_request(IOCTL_VBUS_PLUG, nullptr)) {
        if (GetTickCount() - start > 20000) return bus_request(IOCTL_VBUS_PLUG, "plugging the controller in again");
        Sleep(100);
    }
    size_t count = 0;
    if (!wait_collections(20000, [](size_t n) { return n > 0; }, &count)) {
        std::fprintf(stderr, "mivo-e2e: mivo's HID collections did not appear within 20 s\n");
        return false;
    }
    // The class driver makes the collections one after another: let it finish.
    Sleep(1000);
    std::fprintf(stderr, "mivo-e2e: installed; %u collections\n", unsigned(count_collections()));
    return true;
}

bool bus_state(VBUS_STATE *state)
{
    HANDLE bus = open_bus();
    if (bus == INVALID_HANDLE_VALUE) return false;
    DWORD got = 0;
    bool ok = DeviceIoControl(bus, IOCTL_VBUS_STATE, nullptr, 0, state, sizeof *state, &got, nullptr) ||
              fail("asking the bus for its state");
    CloseHandle(bus);
    return ok;
}

bool remove()
{
    bool ok = bus_request(IOCTL_VBUS_UNPLUG, "unplugging the controller");
    size_t count = 0;
    if (ok && !wait_collections(20000, [](size_t n) { return n == 0; }, &count)) {
        std::fprintf(stderr, "mivo-e2e: %u collections still there 20 s after the unplug\n", unsigned(count));
        ok = false;
    }
    // The collections go first; the controller's own stack (the class
    // driver's device over mivo's) is removed after them, and the bus deletes
    // the controller's device object when the removal reaches it.
    VBUS_STATE state{};
    for (DWORD start = GetTickCount(); ok;) {
        if (!bus_state(&state)) return false;
        if (!state.stacked) break;
        if (GetTickCount() - start > 20000) {
            std::fprintf(stderr, "mivo-e2e: the controller's driver stack was not removed within 20 s\n");
            ok = false;
        }
        Sleep(50);
    }
    if (ok && state.pending_reads) {
        std::fprintf(stderr, "mivo-e2e: %u interrupt transfers still pending after the removal\n", state.pending_reads);
        ok = false;
    }
    // Windows unloads a driver once its last device is gone; Wine keeps it
    // loaded, so the bus asks for what the PnP manager would do.
    ok = ok && bus_request(IOCTL_VBUS_UNLOAD_MIVO, "unloading mivo.sys");
    HDEVINFO devices = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    ok = (SetupDiOpenDeviceInfoA(devices, kBusInstance, nullptr, 0, &device) || fail("finding the bus device")) &&
         (SetupDiCallClassInstaller(DIF_REMOVE, devices, &device) || fail("removing the bus device")) && ok;
    SetupDiDestroyDeviceInfoList(devices);
    return ok;
}

// ---------------------------------------------------------------- playing
struct Entry {
    LONGLONG t;  // performance counter
    std::string line_tail; // the JSON line after its time
};

struct Clock {
    LONGLONG start = 0, frequency = 1;
    LONGLONG now() const
    {
        LARGE_INTEGER c;
        QueryPerformanceCounter(&c);
        return c.QuadPart;
    }
    uint64_t ms(LONGLONG t) const { return t <= start ? 0 : uint64_t((t - start) * 1000 / frequency); }
    LONGLONG at(uint64_t ms) const { return start + LONGLONG(ms) * frequency / 1000; }
    // Sleeps short of `t`, then a millisecond at a time: a Sleep may end a
    // little early or late, never a write before its time.
    void wait_until(LONGLONG t) const
    {
        for (LONGLONG left; (left = t - now()) > 0;)
            Sleep(left * 1000 / frequency > 2 ? DWORD(left * 1000 / frequency - 2) : 1);
    }
};

// The class driver hands every report padded to the collection's longest
// input report; its own length is the one its ID has among the driver's
// report layouts.
size_t report_length(const uint8_t *bytes, size_t count)
{
    for (size_t n = 1; n <= count; ++n)
        if (mivo::tools::report_kind(bytes, n) != mivo::tools::ReportKind::Unknown) return n;
    return count;
}

std::string report_tail(const uint8_t *bytes, size_t count)
{
    std::string out = ",\"report\":\"";
    out.append(mivo::tools::report_name(mivo::tools::report_kind(bytes, count)));
    out.append("\",\"hex\":\"");
    mivo::tools::append_hex_bytes(out, bytes, count);
    out += '"';
    mivo::tools::append_report_fields_json(out, bytes, count);
    out += '}';
    return out;
}

void reader(const Collection &c, const Clock &clock, HANDLE stop, std::vector<Entry> *out, std::string *error)
{
    std::vector<uint8_t> buffer(c.caps.InputReportByteLength);
    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    for (;;) {
        OVERLAPPED o{};
        o.hEvent = done;
        ResetEvent(done);
        DWORD got = 0;
        if (!ReadFile(c.handle, buffer.data(), DWORD(buffer.size()), &got, &o)) {
            if (GetLastError() != ERROR_IO_PENDING) {
                *error = "reading " + c.path + ": " + last_error();
                break;
            }
            HANDLE waits[2] = {done, stop};
            if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
                CancelIoEx(c.handle, &o);
                GetOverlappedResult(c.handle, &o, &got, TRUE);
                break;
            }
            if (!GetOverlappedResult(c.handle, &o, &got, FALSE)) {
                *error = "reading " + c.path + ": " + last_error();
                break;
            }
        }
        LONGLONG t = clock.now();
        out->push_back({t, report_tail(buffer.data(), report_length(buffer.data(), got))});
    }
    CloseHandle(done);
}

std::string status_text(bool ok, DWORD error)
{
    if (ok) return "STATUS_SUCCESS";
    return "error " + std::to_string(error);
}

// The collection a write goes to: the one whose output report has its length
// (report 0xF0, the command, is mivo's only output report of four bytes).
const Collection *target_of(const std::vector<Collection> &all, size_t length)
{
    for (const Collection &c : all)
        if (c.caps.OutputReportByteLength == length) return &c;
    for (const Collection &c : all)
        if (c.caps.OutputReportByteLength > 0) return &c;
    return nullptr;
}

bool play(const std::string &trace)
{
    std::vector<mivo::tools::TraceEvent> events;
    try {
        events = mivo::tools::load_trace_file(trace);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "mivo-e2e: %s\n", e.what());
        return false;
    }
    uint64_t end_ms = (events.empty() ? 0 : events.back().t_ms) + 1000;

    std::vector<Collection> all = open_collections();
    if (all.empty()) {
        std::fprintf(stderr, "mivo-e2e: no HID collection of the controller (VID %04X PID %04X)\n", kVendor, kProduct);
        return false;
    }
    std::fprintf(stderr, "mivo-e2e: reading %u collections:", unsigned(all.size()));
    for (const Collection &c : all)
        std::fprintf(stderr, " %04X:%04X (in %u, out %u bytes)", c.caps.UsagePage, c.caps.Usage,
                     c.caps.InputReportByteLength, c.caps.OutputReportByteLength);
    std::fprintf(stderr, "\n");
    HANDLE bus = open_bus();
    if (bus == INVALID_HANDLE_VALUE) return false;

    Clock clock;
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    clock.frequency = f.QuadPart;
    HANDLE stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::vector<std::vector<Entry>> read(all.size());
    std::vector<std::string> errors(all.size());
    std::vector<std::thread> readers;
    clock.start = clock.now();
    for (size_t i = 0; i < all.size(); ++i) readers.emplace_back(reader, std::cref(all[i]), std::cref(clock), stop,
                                                                 &read[i], &errors[i]);
    DWORD got = 0;
    bool ok = DeviceIoControl(bus, IOCTL_VBUS_START, nullptr, 0, nullptr, 0, &got, nullptr) ||
              fail("starting the bus's trace");

    std::vector<Entry> writes;
    for (const mivo::tools::TraceEvent &e : events) {
        if (!ok || e.kind != mivo::tools::TraceEvent::Kind::Write) continue;
        clock.wait_until(clock.at(e.t_ms));
        const Collection *to = target_of(all, e.bytes.size());
        std::vector<uint8_t> report = e.bytes;
        if (to) report.resize(std::max<size_t>(report.size(), to->caps.OutputReportByteLength));
        LONGLONG t = clock.now();
        bool written = to && HidD_SetOutputReport(to->handle, report.data(), ULONG(report.size()));
        DWORD error = to ? GetLastError() : ERROR_DEVICE_NOT_CONNECTED;
        std::string tail = ",\"write\":\"" + mivo::tools::hex_bytes(e.bytes) + "\",\"command\":\"" +
                           mivo::control::describe(e.bytes) + "\",\"result\":\"" + status_text(written, error) +
                           "\",\"written\":" + std::to_string(written ? report.size() : 0) + "}";
        writes.push_back({t, tail});
    }
    clock.wait_until(clock.at(end_ms));
    SetEvent(stop);
    for (std::thread &t : readers) t.join();

    CloseHandle(bus);
    VBUS_STATE state{};
    ok = bus_state(&state) && ok;

    std::vector<Entry> all_entries = writes;
    for (auto &r : read) all_entries.insert(all_entries.end(), r.begin(), r.end());
    for (unsigned i = 0; i < state.led_count && i < VBUS_MAX_LED_CHANGES; ++i)
        if (state.leds[i].t_us >= 0)
            all_entries.push_back({clock.start + state.leds[i].t_us * clock.frequency / 1000000,
                                   std::string(",\"led\":") + (state.leds[i].on ? "1" : "0") + "}"});
    std::stable_sort(all_entries.begin(), all_entries.end(), [](const Entry &a, const Entry &b) { return a.t < b.t; });
    for (const Entry &e : all_entries)
        std::printf("{\"t_ms\":%llu%s\n", static_cast<unsigned long long>(clock.ms(e.t)), e.line_tail.c_str());
    std::fflush(stdout);

    for (size_t i = 0; i < all.size(); ++i) {
        if (!errors[i].empty()) {
            std::fprintf(stderr, "mivo-e2e: %s\n", errors[i].c_str());
            ok = false;
        }
        CloseHandle(all[i].handle);
    }
    std::fprintf(stderr, "mivo-e2e: bus played %u of %u device reports, delivered %u, %u refused by size; "
                 "%u LED changes\n", state.played, state.events, state.delivered, state.overruns, state.led_count);
    if (state.played != state.events || state.delivered != state.events || state.overruns) ok = false;
    CloseHandle(stop);
    return ok;
}

bool import_store(const std::string &path)
{
    std::string command = "regedit.exe /S \"" + full_path(path) + "\"";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return fail("starting " + command);
    DWORD code = 1;
    WaitForSingleObject(process.hProcess, 60000);
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    if (code != 0) std::fprintf(stderr, "mivo-e2e: %s exited with %lu\n", command.c_str(), code);
    return code == 0;
}

} // namespace

int main(int argc, char **argv)
{
    std::vector<std::string> a(argv + 1, argv + argc);
    if (a.size() != 3 && a.size() != 4) {
        std::fprintf(stderr, "Usage: mivo-e2e VBUS_INF MIVO_INF TRACE [STORE.reg]\n");
        return kExitUsage;
    }
    bool ok = install(a[0], a[1], a[2]) && (a.size() < 4 || import_store(a[3]));
    ok = ok && play(a[2]);
    return ok && remove() ? kExitOk : kExitFailure;
}
