// mivo_latency: the whole driver on the real clock, as mivo-sim --realtime
// runs it. Prints
//   FIGURE latency.p50 / latency.p99 <us>   a device report handed to the bus
//        driver -> the HID read completed with it, at 1 kHz
//   FIGURE latency.samples <reports>
//   FIGURE idle.cpu <percent>              CPU of the process, of one core, while
//        the started device has had no input yet (only its worker's 10-ms
//        steps run)
//   FIGURE idle.floor <percent>            the same for a bare thread that only
//        sleeps 10 ms at a time: what waking 100 times a second costs on this
//        machine, whatever the thread does
// Usage: mivo_latency [reports] [idle seconds]
//
// Every report moves the cap to a new place, and the driver passes each device
// report on as it came (raw reports 1 and 2): the delivered copy of the
// pushed bytes is the read that carried it. Both ends are interrupt times,
// read on the real clock: the push's just before the bus driver completes the
// interrupt transfer, the delivery's where the class driver's completion
// routine takes the read back.
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "driver/driver.h"
#include "platform/sim/hid_class.h"
#include "platform/sim/io.h"
#include "platform/sim/sim.h"
#include "platform/sim/usb_device.h"

namespace {

double cpu_seconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

std::atomic<bool> g_floor_done{false};

// CPU of the whole process over `seconds` of the calling thread sleeping, in
// percent of one core, with `beside` running on a thread of its own.
double idle_percent(double seconds, std::function<void()> beside)
{
    std::thread other;
    g_floor_done = false;
    if (beside) other = std::thread(beside);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    double cpu_before = cpu_seconds();
    auto wall_before = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_before).count();
    double percent = (cpu_seconds() - cpu_before) / wall * 100.0;
    g_floor_done = true;
    if (other.joinable()) other.join();
    return percent;
}

double percentile(std::vector<double> sorted, double p)
{
    if (sorted.empty()) return 0;
    std::sort(sorted.begin(), sorted.end());
    size_t at = std::min(sorted.size() - 1, size_t(p / 100.0 * double(sorted.size())));
    return sorted[at];
}

// Report 1 or 2 with the cap somewhere on a circle, within the range the
// driver passes on unclamped: never twice the same bytes.
std::vector<uint8_t> device_report(int n)
{
    double angle = n * 0.01;
    auto a = int16_t(std::lround(300 * std::sin(angle)));
    auto b = int16_t(std::lround(300 * std::cos(angle)));
    auto c = int16_t(n % 600 - 300);
    return {uint8_t(1 + n % 2), uint8_t(a), uint8_t(uint16_t(a) >> 8), uint8_t(b), uint8_t(uint16_t(b) >> 8),
            uint8_t(c), uint8_t(uint16_t(c) >> 8)};
}

} // namespace

int main(int argc, char **argv)
{
    const int reports = argc > 1 ? std::atoi(argv[1]) : 12000;
    const double idle_seconds = argc > 2 ? std::atof(argv[2]) : 10.0;

    double idle_floor = idle_percent(idle_seconds, [] {
        for (;;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            if (g_floor_done.load()) return;
        }
    });

    sim::reset();
    sim::clock_real();
    // As in mivo-sim: the debug trace goes nowhere.
    sim::trace_keep(false);
    int failed = 0;
    std::vector<double> latencies;
    double idle_cpu = -1;
    {
        sim::LoadedDriver driver(DriverEntry);
        sim::UsbDevice usb;
        sim::HidClassDevice hid(usb.pdo(), {});
        if (!NT_SUCCESS(driver.status()) || !NT_SUCCESS(hid.status()) || !NT_SUCCESS(hid.start(false)) ||
            !NT_SUCCESS(hid.interrogate())) {
            std::fprintf(stderr, "mivo_latency: the device did not start\n");
            return 1;
        }
        hid.start_reading();
        // Whatever the start delivered.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        hid.take_reports();

        // The started device before any input: its HID worker steps every
        // 10 ms and has nothing to report.
        idle_cpu = idle_percent(idle_seconds, {});

        latencies.reserve(size_t(reports));
        for (int n = 0; n < reports; n++) {
            std::vector<uint8_t> report = device_report(n);
            uint64_t pushed = sim::clock_now();
            usb.push_report(report);
            // One report a millisecond, as the device sends them; what has
            // not come by the next one has taken longer than a millisecond.
            std::this_thread::sleep_for(std::chrono::microseconds(900));
            uint64_t delivered = 0;
            for (int wait = 0; wait < 100 && delivered == 0; wait++) {
                for (const sim::HidDelivered &d : hid.take_reports())
                    if (d.bytes == report) delivered = d.time;
                if (delivered == 0) std::this_thread::sleep_for(std::chrono::microseconds(100));
            }
            if (delivered == 0) {
                failed++;
                continue;
            }
            latencies.push_back(double(delivered - pushed) / 10.0); // 100-ns units to us
        }

        hid.remove();
    }
    sim::clock_manual();
    for (const std::string &p : sim::problems()) std::fprintf(stderr, "mivo_latency: simulated kernel: %s\n", p.c_str());
    if (failed) std::fprintf(stderr, "mivo_latency: %d report(s) never delivered\n", failed);

    std::printf("FIGURE latency.p50 %.1f us\n", percentile(latencies, 50));
    std::printf("FIGURE latency.p99 %.1f us\n", percentile(latencies, 99));
    std::printf("FIGURE latency.samples %zu reports\n", latencies.size());
    std::printf("FIGURE idle.cpu %.3f percent\n", idle_cpu);
    std::printf("FIGURE idle.floor %.3f percent\n", idle_floor);
    return failed == 0 ? 0 : 1;
}
