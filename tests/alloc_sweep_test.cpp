// The whole lifecycle (load, add, start with the profile store, device input,
// commands, power down and a read's restart, removal, unload) run once for
// each allocation site of the driver in each step that allocates there, with
// the first allocation of that site in that step refused. Each refusal has a
// defined outcome: the step's status, the trace line it leaves, the profile
// list it leaves, and whether the device comes through. Whatever the
// refusal, the simulated kernel finds nothing leaked, every request
// completed once, every worker ended.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "hid/hid.h"
#include "platform/sim/hid_class.h"
#include "platform/sim/io.h"
#include "platform/sim/registry.h"
#include "platform/sim/sim.h"
#include "platform/sim/usb_device.h"
#include "profiles/profiles.h"
#include "tests/support/hid_device.h"
#include "tests/support/sim_test.h"

namespace {

using hid_device::Bytes;

enum Step { kLoad, kAdd, kStart, kInput, kCommands, kPower, kRemoval, kUnload, kSteps };
const char *const kStepNames[kSteps] = {"load", "add", "start", "input", "commands", "power", "removal", "unload"};

// How the lifecycle goes on after the refusal.
enum class After {
    Runs,       // every later step as without it
    NoDevice,   // the device is never added
    NotStarted, // the device does not start; the PnP manager removes it
};

// The profile list as ids with their bind counts, as stored and loaded.
const std::string kStored = "7:1 5:2 -1:19 @5";

struct Outcome {
    Step step;
    const char *site;     // the driver routine; "#2" for its second site
    NTSTATUS status;      // the step's: see Lifecycle::run
    std::string line;     // a trace line the refusal leaves ("" when silent)
    After after;
    std::string profiles = kStored; // the profile list at the end of the step
};

std::string hex(NTSTATUS status)
{
    char text[16];
    snprintf(text, sizeof text, "%x", unsigned(status));
    return text;
}

std::string profile_list(PDEVICE_EXTENSION dx)
{
    std::string out;
    for (PROFIL *p = dx->ProfilList; p != nullptr; p = p->Next) {
        int binds = 0;
        for (BIND *b = p->Binds; b != nullptr; b = b->Next) binds++;
        out += std::to_string(p->Profil_Id) + ":" + std::to_string(binds) + " ";
    }
    return out + "@" + (dx->CurrentProfil ? std::to_string(dx->CurrentProfil->Profil_Id) : "none");
}

// Driver sites by routine name, the second and later sites of one routine
// told apart by "#n" in address order.
std::map<const void *, std::string> driver_sites()
{
    std::map<std::string, std::vector<const void *>> by_routine;
    for (const sim::PoolSite &s : sim::pool_sites()) {
        const std::string name = sim::pool_site_name(s.address);
        if (name.rfind("MIVO_", 0) == 0 || name == "DriverEntry") by_routine[name].push_back(s.address);
    }
    std::map<const void *, std::string> out;
    for (auto &[name, addresses] : by_routine) {
        std::sort(addresses.begin(), addresses.end());
        for (size_t n = 0; n < addresses.size(); n++)
            out[addresses[n]] = n == 0 ? name : name + "#" + std::to_string(n + 1);
    }
    return out;
}

// One lifecycle, optionally with one refusal armed at the start of a step.
class Lifecycle {
public:
    struct Seen {
        Step step = kSteps; // where the refusal fell; kSteps when nowhere
        NTSTATUS status = STATUS_SUCCESS;
        std::vector<std::string> trace; // from the arming to the end of that step
        std::string profiles;
        After after = After::Runs;
    };

    // Allocations per site at the end of each step.
    std::vector<std::map<const void *, uint64_t>> counts;

    Seen run(Step armed = kSteps, const void *site = nullptr)
    {
        sim::reset();
        InterlockedExchange(&LedFlag, 0);
        sim::reg_set_dword(hid_device::kLayout, "Default_Profil", 5);
        hid_device::store_profile(5, {hid_device::axis_to_joystick(0, 0), hid_device::switch_on_button(0, 7)});
        hid_device::store_profile(7, {hid_device::axis_to_joystick(1, 1)});
        armed_ = armed;
        site_ = site;
        seen_ = Seen{};
        counts.clear();

        Step at = kLoad;
        while (at != kSteps) {
            begin(at);
            const Step next = step(at);
            end(at);
            at = next;
        }
        return seen_;
    }

private:
    void begin(Step s)
    {
        if (s == armed_) {
            sim::trace_clear();
            sim::pool_fail_site(site_);
        }
        failed_ = sim::pool_stats().failed_allocations;
    }

    void end(Step s)
    {
        if (s == armed_) sim::pool_fail_clear();
        if (sim::pool_stats().failed_allocations != failed_) {
            seen_.step = s;
            seen_.status = status_;
            seen_.trace = sim::trace_lines();
            seen_.profiles = hid_ && hid_->status() == STATUS_SUCCESS ? profile_list(dx_) : "";
        }
        std::map<const void *, uint64_t> now;
        for (const sim::PoolSite &site : sim::pool_sites()) now[site.address] = site.requests;
        counts.push_back(std::move(now));
    }

    // Runs one step, leaves its status in status_ and says which step is next.
    Step step(Step s)
    {
        status_ = STATUS_SUCCESS;
        switch (s) {
        case kLoad:
            driver_ = std::make_unique<sim::LoadedDriver>(DriverEntry);
            status_ = driver_->status();
            return kAdd;
        case kAdd:
            usb_ = std::make_unique<sim::UsbDevice>();
            hid_ = std::make_unique<sim::HidClassDevice>(usb_->pdo());
            status_ = hid_->status();
            if (status_ != STATUS_SUCCESS) {
                seen_.after = After::NoDevice;
                return kUnload;
            }
            dx_ = hid_->mini_extension<DEVICE_EXTENSION>();
            return kStart;
        case kStart:
            status_ = hid_->start();
            sim::clock_settle();
            return started() ? kInput : kRemoval;
        case kInput: {
            usb_->push_translation(100, -50, 0);
            sim::clock_advance_ms(10);
            usb_->push_buttons(1);
            sim::clock_advance_ms(20);
            usb_->push_buttons(0);
            sim::clock_advance_ms(20);
            bool translation = false;
            for (const sim::HidDelivered &r : hid_->take_reports())
                translation |= r.bytes == Bytes{REPORT_ID_RAW_TRANSLATION, 100, 0, 0xCE, 0xFF, 0, 0};
            EXPECT_TRUE(translation) << "the device's report came through";
            return kCommands;
        }
        case kCommands: {
            const Bytes writes[] = {{REPORT_ID_STATUS, CMD_NAV_LED, 1}, {0x04, 1}, {REPORT_ID_STATUS, CMD_RESET_INPUT}};
            for (const Bytes &w : writes) {
                const NTSTATUS status = hid_->write(w).status;
                if (status_ == STATUS_SUCCESS) status_ = status;
            }
            sim::clock_advance_ms(10);
            return kPower;
        }
        case kPower: {
            hid_->set_power(PowerDeviceD3);
            sim::clock_advance_ms(20);
            hid_->set_power(PowerDeviceD0);
            // A read finds the device stopped and starts it again; when that
            // start fails, the class driver's next read asks again.
            for (int n = 0; n < 2 && MIVO_device_state(dx_) != DEVICE_STATE_STARTED; n++) {
                sim::Request read(hid_->device(), {.ioctl = IOCTL_HID_READ_REPORT, .output_length = 64});
                const NTSTATUS status = read.send();
                if (n == 0) status_ = status;
                sim::clock_settle();
                sim::clock_advance_ms(50);
            }
            started();
            return kRemoval;
        }
        case kRemoval:
            status_ = hid_->remove();
            EXPECT_EQ(sim::threads_running(), 0u) << "the removal ends every worker";
            return kUnload;
        case kUnload:
            hid_.reset();
            usb_.reset();
            driver_->unload();
            driver_.reset();
            return kSteps;
        case kSteps:
            break;
        }
        return kSteps;
    }

    bool started()
    {
        if (MIVO_device_state(dx_) == DEVICE_STATE_STARTED) return true;
        seen_.after = After::NotStarted;
        return false;
    }

    Step armed_ = kSteps;
    const void *site_ = nullptr;
    size_t failed_ = 0;
    NTSTATUS status_ = STATUS_SUCCESS;
    Seen seen_;
    std::unique_ptr<sim::LoadedDriver> driver_;
    std::unique_ptr<sim::UsbDevice> usb_;
    std::unique_ptr<sim::HidClassDevice> hid_;
    PDEVICE_EXTENSION dx_ = nullptr;
};

std::string leave(const char *routine, const char *detail) { return std::string("> Leave: ") + routine + ": " + detail; }

const NTSTATUS kOk = STATUS_SUCCESS, kNoPool = STATUS_INSUFFICIENT_RESOURCES, kFailed = STATUS_UNSUCCESSFUL,
               kNotConnected = STATUS_DEVICE_NOT_CONNECTED;
const char *const kPoolError = "ExAllocatePool Error";
const char *const kNoPoolText = "STATUS_INSUFFICIENT_RESOURCES";
// After the device's button has switched to profile 7.
const std::string kActive = "7:1 5:2 -1:19 @7";
const std::string kDown = "@none";

// The first refusal at each site in each step. A reload keeps the active
// profile when it is still loaded, else the default, else the base profile;
// the start and a read's restart of a stopped device fail with the step's
// status and trace, the start request with it, the read not at all (the next
// read starts the device).
const std::vector<Outcome> kOutcomes = {
    {kLoad, "MIVO_copy_registry_path", kOk, "DriverRegistryPath STATUS_INSUFFICIENT_RESOURCES", After::NoDevice, ""},
    {kAdd, "MIVO_copy_registry_path", kNoPool, "RegistryPath STATUS_INSUFFICIENT_RESOURCES", After::NoDevice, ""},

    {kStart, "MIVO_usb_submit_sync", kNoPool, leave("MIVO_usb_reset", "c000009a: usb_get_port_status failed"),
     After::NotStarted, kDown},
    {kStart, "MIVO_usb_get_dev_desc", kNoPool, leave("MIVO_usb_get_dev_desc", "urb STATUS_INSUFFICIENT_RESOURCES"),
     After::NotStarted, kDown},
    {kStart, "MIVO_usb_get_conf_desc", kNoPool, leave("MIVO_usb_get_conf_desc", "urb STATUS_INSUFFICIENT_RESOURCES"),
     After::NotStarted, kDown},
    {kStart, "MIVO_usb_get_conf_desc#2", kNoPool, leave("MIVO_usb_get_conf_desc", "desc STATUS_INSUFFICIENT_RESOURCES"),
     After::NotStarted, kDown},
    {kStart, "MIVO_usb_get_conf_desc#3", kNoPool, leave("MIVO_usb_get_conf_desc", "descriptor 2 STATUS_INSUFFICIENT_RESOURCES"),
     After::NotStarted, kDown},
    {kStart, "MIVO_usb_select_conf", kNoPool, leave("MIVO_usb_select_conf", "USBD_CreateConfigurationRequestEx STATUS_INSUFFICIENT_RESOURCES"),
     After::NotStarted, kDown},
    {kStart, "MIVO_usb_get_hid_desc", kNoPool, leave("MIVO_usb_get_hid_desc", "BufDesc STATUS_INSUFFICIENT_RESOURCES"),
     After::NotStarted, kDown},
    {kStart, "MIVO_usb_get_hid_desc#2", kNoPool, leave("MIVO_usb_get_hid_desc", "DeviceReportDescriptor STATUS_INSUFFICIENT_RESOURCES"),
     After::NotStarted, kDown},
    {kStart, "MIVO_usb_control_transfer", kFailed, leave("MIVO_usb_start", "c0000001: usb_get_hid_desc failed"),
     After::NotStarted, kDown},
    {kStart, "MIVO_usb_interrupt_transfer", kOk, leave("MIVO_usb_interrupt_transfer", kNoPoolText), After::Runs},
    {kStart, "MIVO_Led_Queue_Add", kOk, leave("MIVO_Led_Queue_Add", kPoolError), After::Runs},
    {kStart, "MIVO_Profil_ZERO", kOk, leave("MIVO_Profil_ZERO", kPoolError), After::Runs, "7:1 5:2 @5"},
    {kStart, "MIVO_Create_NextBind", kOk, leave("MIVO_Create_NextBind", kPoolError), After::Runs, "7:1 5:2 -1:18 @5"},
    {kStart, "MIVO_Get_Key_Info", kOk, leave("MIVO_Get_Profils", "Error Get Info Key c000009a"),
     After::Runs, "-1:19 @-1"},
    {kStart, "MIVO_Get_Data", kOk, leave("MIVO_Get_DWORD", "c000009a, 0"),
     After::Runs, "7:1 5:2 -1:19 @-1"}, // Default_Profil
    {kStart, "MIVO_Reg_Enumerate_Name", kOk, leave("MIVO_Get_SubKey_Name", kNoPoolText), After::Runs, "7:1 -1:19 @-1"},
    {kStart, "MIVO_Load_Profil", kOk, leave("MIVO_Load_Profil", kPoolError), After::Runs, "7:1 -1:19 @-1"},
    {kStart, "MIVO_Load_Profil#2", kOk, "", After::Runs, "7:1 5:1 -1:19 @5"}, // a bind, silently

    {kInput, "MIVO_usb_submit_sync", kOk, "", After::Runs, kActive}, // the next interrupt read, silently
    {kInput, "MIVO_usb_interrupt_transfer", kOk, leave("MIVO_usb_interrupt_transfer", kNoPoolText),
     After::Runs, kActive},
    {kInput, "MIVO_usb_control_transfer", kOk, leave("MIVO_usb_control_transfer", kNoPoolText), After::Runs, kActive},
    {kInput, "MIVO_Led_Queue_Add", kOk, leave("MIVO_Led_Queue_Add", kPoolError), After::Runs, kActive},

    {kCommands, "MIVO_usb_submit_sync", kFailed, leave("MIVO_usb_control_transfer", "STATUS_UNSUCCESSFUL"),
     After::Runs, kActive},
    {kCommands, "MIVO_usb_control_transfer", kNoPool, leave("MIVO_ioctl_write_rep", "c000009a"), After::Runs, kActive},
    {kCommands, "MIVO_Led_Queue_Add", kOk, leave("MIVO_Led_Queue_Add", kPoolError), After::Runs, kActive},
    {kCommands, "MIVO_Profil_ZERO", kOk, leave("MIVO_Profil_ZERO", kPoolError), After::Runs, "7:1 5:2 @7"},
    {kCommands, "MIVO_Create_NextBind", kOk, leave("MIVO_Create_NextBind", kPoolError),
     After::Runs, "7:1 5:2 -1:18 @7"},
    {kCommands, "MIVO_Get_Key_Info", kOk, leave("MIVO_Get_Profils", "Error Get Info Key c000009a"),
     After::Runs, "-1:19 @-1"},
    {kCommands, "MIVO_Get_Data", kOk, leave("MIVO_Get_DWORD", "c000009a, 0"), After::Runs, kActive},
    {kCommands, "MIVO_Reg_Enumerate_Name", kOk, leave("MIVO_Get_SubKey_Name", kNoPoolText),
     After::Runs, "7:1 -1:19 @7"},
    {kCommands, "MIVO_Load_Profil", kOk, leave("MIVO_Load_Profil", kPoolError), After::Runs, "7:1 -1:19 @7"},
    {kCommands, "MIVO_Load_Profil#2", kOk, "", After::Runs, "7:1 5:1 -1:19 @7"},

    {kPower, "MIVO_device_start_from_read", kNotConnected, "start work item STATUS_INSUFFICIENT_RESOURCES",
     After::Runs, kActive},
    {kPower, "MIVO_usb_abort_pipe", kNotConnected, leave("MIVO_usb_abort_pipe", kNoPoolText), After::Runs, kActive},
    {kPower, "MIVO_usb_submit_sync", kNotConnected, leave("MIVO_usb_abort_pipe", "c000009a"), After::Runs, kActive},
    {kPower, "MIVO_usb_get_dev_desc", kNotConnected, leave("MIVO_usb_start", "c000009a: usb_get_dev_desc failed"),
     After::Runs, kActive},
    {kPower, "MIVO_usb_get_conf_desc", kNotConnected, leave("MIVO_usb_get_conf_desc", "urb STATUS_INSUFFICIENT_RESOURCES"),
     After::Runs, kActive},
    {kPower, "MIVO_usb_get_conf_desc#2", kNotConnected, leave("MIVO_usb_get_conf_desc", "desc STATUS_INSUFFICIENT_RESOURCES"),
     After::Runs, kActive},
    {kPower, "MIVO_usb_get_conf_desc#3", kNotConnected, leave("MIVO_usb_get_conf_desc", "descriptor 2 STATUS_INSUFFICIENT_RESOURCES"),
     After::Runs, kActive},
    {kPower, "MIVO_usb_select_conf", kNotConnected, leave("MIVO_usb_start", "c000009a: usb_select_conf failed"),
     After::Runs, kActive},
    {kPower, "MIVO_usb_get_hid_desc", kNotConnected, leave("MIVO_usb_get_hid_desc", "BufDesc STATUS_INSUFFICIENT_RESOURCES"),
     After::Runs, kActive},
    {kPower, "MIVO_usb_get_hid_desc#2", kNotConnected, leave("MIVO_usb_get_hid_desc", "DeviceReportDescriptor STATUS_INSUFFICIENT_RESOURCES"),
     After::Runs, kActive},
    {kPower, "MIVO_usb_control_transfer", kNotConnected, leave("MIVO_device_start", "c0000001: usb_start failed"),
     After::Runs, kActive},
    {kPower, "MIVO_usb_interrupt_transfer", kNotConnected, leave("MIVO_usb_interrupt_transfer", kNoPoolText),
     After::Runs, kActive},
    {kPower, "MIVO_Led_Queue_Add", kNotConnected, leave("MIVO_Led_Queue_Add", kPoolError), After::Runs, kActive},
    {kPower, "MIVO_Profil_ZERO", kNotConnected, leave("MIVO_Profil_ZERO", kPoolError), After::Runs, "7:1 5:2 @7"},
    {kPower, "MIVO_Create_NextBind", kNotConnected, leave("MIVO_Create_NextBind", kPoolError),
     After::Runs, "7:1 5:2 -1:18 @7"},
    {kPower, "MIVO_Get_Key_Info", kNotConnected, leave("MIVO_Get_Profils", "Error Get Info Key c000009a"),
     After::Runs, "-1:19 @-1"},
    {kPower, "MIVO_Get_Data", kNotConnected, leave("MIVO_Get_DWORD", "c000009a, 0"), After::Runs, kActive},
    {kPower, "MIVO_Reg_Enumerate_Name", kNotConnected, leave("MIVO_Get_SubKey_Name", kNoPoolText),
     After::Runs, "7:1 -1:19 @7"},
    {kPower, "MIVO_Load_Profil", kNotConnected, leave("MIVO_Load_Profil", kPoolError), After::Runs, "7:1 -1:19 @7"},
    {kPower, "MIVO_Load_Profil#2", kNotConnected, "", After::Runs, "7:1 5:1 -1:19 @7"},

    // The abort of the worker's read is tried again 10 ms later.
    {kRemoval, "MIVO_usb_abort_pipe", kOk, leave("MIVO_usb_abort_pipe", kNoPoolText), After::Runs, kDown},
    {kRemoval, "MIVO_usb_submit_sync", kOk, leave("MIVO_usb_abort_pipe", "c000009a"), After::Runs, kDown},
};

class AllocationSweep : public SimTest {};

TEST_F(AllocationSweep, EachSiteRefusedInEachStepHasItsDefinedOutcome)
{
    Lifecycle lifecycle;
    const Lifecycle::Seen clean = lifecycle.run();
    ASSERT_EQ(clean.step, kSteps);
    ASSERT_EQ(clean.after, After::Runs);
    ASSERT_TRUE(sim::problems().empty());
    const auto counts = lifecycle.counts;
    const auto names = driver_sites();
    bool named = false;
    for (const auto &[site, name] : names) named |= name == "MIVO_copy_registry_path";
    if (!named) GTEST_SKIP() << "allocation sites are named by the sanitizers' symbolizer: run in a sanitizer build";

    std::set<std::pair<Step, std::string>> met;
    for (int s = 0; s < kSteps; s++) {
        for (const auto &[site, name] : names) {
            const uint64_t before = s == 0 || !counts[s - 1].count(site) ? 0 : counts[s - 1].at(site);
            if (!counts[s].count(site) || counts[s].at(site) == before) continue;
            const Step step = Step(s);
            SCOPED_TRACE(std::string(kStepNames[s]) + ": " + name + " refused");
            met.insert({step, name});
            const Lifecycle::Seen seen = lifecycle.run(step, site);
            for (const std::string &problem : sim::problems()) ADD_FAILURE() << "simulated kernel: " << problem;
            const Outcome *row = nullptr;
            for (const Outcome &o : kOutcomes)
                if (o.step == step && name == o.site) row = &o;
            std::string lines;
            for (const std::string &l : seen.trace) lines += "    " + l + "\n";
            if (row == nullptr) {
                ADD_FAILURE() << "no outcome defined; seen in " << (seen.step < kSteps ? kStepNames[seen.step] : "none")
                              << ": status " << hex(seen.status) << ", after " << int(seen.after) << ", profiles \""
                              << seen.profiles << "\", trace:\n" << lines;
                continue;
            }
            EXPECT_EQ(seen.step, step) << "the refusal falls in the step it was armed for";
            EXPECT_EQ(hex(seen.status), hex(row->status));
            auto traced = [&](const std::string &line) {
                return std::find(seen.trace.begin(), seen.trace.end(), line) != seen.trace.end();
            };
            EXPECT_TRUE(row->line.empty() || traced(row->line)) << row->line << "\n" << lines;
            EXPECT_EQ(int(seen.after), int(row->after));
            if (step == kStart && row->after == After::NotStarted) {
                EXPECT_TRUE(traced("> Leave: MIVO_pnp_start: " + hex(row->status) + ": device_start failed")) << lines;
            }
            EXPECT_EQ(seen.profiles, row->profiles);
        }
    }
    for (const Outcome &o : kOutcomes)
        EXPECT_TRUE(met.count({o.step, o.site})) << kStepNames[o.step] << ": " << o.site << " no longer allocates";
}

} // namespace
