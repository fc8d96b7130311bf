// The whole driver under a storm, in real time: reads sent and cancelled from
// several threads, writes and commands, device input, stops and restarts,
// power-downs and power-ups, surprise removals and removals each followed by
// a new device, all at once. The simulated kernel's verifier then proves every
// request completed exactly once and no pool or thread left behind.
//
// MIVO_STRESS_EVENTS sets how many events the threads share out (a short run
// by default), MIVO_STRESS_SEED the seed of their choices (printed either
// way). The threads' interleaving is the machine's; the choices each makes
// are the seed's.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <random>
#include <shared_mutex>
#include <thread>
#include <vector>

#include "driver/driver.h"
#include "hid/hid.h"
#include "platform/sim/hid_class.h"
#include "platform/sim/io.h"
#include "platform/sim/sim.h"
#include "platform/sim/usb_device.h"
#include "tests/support/sim_test.h"

namespace {

using namespace std::chrono_literals;

constexpr uint64_t kDefaultEvents = 20000;

uint64_t env_number(const char *name, uint64_t otherwise)
{
    const char *text = std::getenv(name);
    return text != nullptr && *text != 0 ? std::strtoull(text, nullptr, 0) : otherwise;
}

// Ends the process when the test outlives its bound: a hang is a failure,
// never a stuck CI job.
class Watchdog {
public:
    explicit Watchdog(std::chrono::seconds bound)
        : thread_([this, bound] {
              std::unique_lock lock(mutex_);
              if (!cv_.wait_for(lock, bound, [this] { return done_; })) {
                  std::fprintf(stderr, "ThreadedLifecycleStress: no end after %lld s\n", (long long)bound.count());
                  std::abort();
              }
          })
    {
    }
    ~Watchdog()
    {
        {
            std::lock_guard lock(mutex_);
            done_ = true;
        }
        cv_.notify_one();
        thread_.join();
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool done_ = false;
    std::thread thread_;
};

enum Event {
    kRead, kCancel, kWrite, kCommand, kReport, kStop, kStart, kPowerDown, kPowerUp, kSurpriseRemoval, kRemoval,
    kNewDevice, kEventKinds
};
const char *const kEventNames[kEventKinds] = {"reads", "cancels", "writes", "commands", "device reports", "stops",
                                              "starts", "power-downs", "power-ups", "surprise removals", "removals",
                                              "new devices"};

// The device the threads work on: one at a time, replaced after a removal
// while nobody is sending to it.
class Storm {
public:
    Storm(uint64_t events, uint64_t seed) : budget_(int64_t(events)), seed_(seed)
    {
        usb_ = std::make_unique<sim::UsbDevice>();
        add();
    }

    // One event from the shared budget; false once it is spent.
    bool take() { return budget_.fetch_sub(1) > 0; }
    std::mt19937_64 random(uint64_t thread) const { return std::mt19937_64(seed_ * 1000003 + thread); }
    void count(Event e) { counts_[e].fetch_add(1, std::memory_order_relaxed); }
    uint64_t counted(Event e) const { return counts_[e].load(); }

    // Runs `f` with the current device, beside every other sender.
    template <typename F> void with_device(F f)
    {
        std::shared_lock lock(gate_);
        f(*hid_);
    }

    sim::UsbDevice &usb() { return *usb_; }

    // The removed device goes and a new one is added and started; waits until
    // nobody is sending to the old one.
    void replace()
    {
        std::unique_lock lock(gate_);
        hid_.reset();
        add();
        count(kNewDevice);
    }

    void end()
    {
        std::unique_lock lock(gate_);
        hid_.reset();
        usb_.reset();
    }

private:
    void add()
    {
        hid_ = std::make_unique<sim::HidClassDevice>(usb_->pdo(), sim::HidClassOptions{.reads = 0});
        EXPECT_EQ(hid_->status(), STATUS_SUCCESS);
        hid_->start(false);
    }

    std::atomic<int64_t> budget_;
    const uint64_t seed_;
    std::shared_mutex gate_;
    std::unique_ptr<sim::UsbDevice> usb_;
    std::unique_ptr<sim::HidClassDevice> hid_;
    std::atomic<uint64_t> counts_[kEventKinds] = {};
};

// A reader's requests still out, oldest first. Each one taken back must have
// come back exactly once.
class Reads {
public:
    explicit Reads(Storm &storm) : storm_(storm) {}

    void add(std::unique_ptr<sim::Request> r) { out_.push_back(std::move(r)); }

    // Takes back what has come back; with more than `keep` still out, the
    // oldest is cancelled and waited for.
    void reap(size_t keep)
    {
        while (!out_.empty() && (out_.front()->completed() || out_.size() > keep)) {
            sim::Request &r = *out_.front();
            if (!r.completed() && r.cancel()) storm_.count(kCancel);
            EXPECT_TRUE(r.wait(5s)) << "a read was left behind";
            EXPECT_EQ(r.completions(), 1);
            out_.pop_front();
        }
    }

private:
    Storm &storm_;
    std::deque<std::unique_ptr<sim::Request>> out_;
};

} // namespace

class ThreadedLifecycleStress : public SimTest {};

TEST_F(ThreadedLifecycleStress, EveryRequestCompletesOnceThroughStartsStopsPowerAndRemoval)
{
    const uint64_t events = env_number("MIVO_STRESS_EVENTS", kDefaultEvents);
    const uint64_t seed = env_number("MIVO_STRESS_SEED", std::random_device{}());
    std::printf("ThreadedLifecycleStress: %llu events, seed %llu (MIVO_STRESS_EVENTS, MIVO_STRESS_SEED)\n",
                (unsigned long long)events, (unsigned long long)seed);
    std::fflush(stdout);
    Watchdog watchdog(std::chrono::seconds(60 + events / 2000));
    sim::clock_real();
    sim::trace_keep(false); // millions of lines nobody reads
    const auto began = std::chrono::steady_clock::now();
    {
        sim::LoadedDriver driver(DriverEntry);
        ASSERT_EQ(driver.status(), STATUS_SUCCESS);
        Storm storm(events, seed);

        std::vector<std::thread> threads;
        // Readers: reads left to the HID worker, cancelled at once or a
        // little later, or waited for.
        for (int n = 0; n < 2; n++) {
            threads.emplace_back([&storm, n] {
                std::mt19937_64 random = storm.random(n);
                Reads reads(storm);
                while (storm.take()) {
                    std::unique_ptr<sim::Request> r;
                    storm.with_device([&](sim::HidClassDevice &hid) {
                        r = std::make_unique<sim::Request>(
                            hid.device(), sim::RequestSpec{.ioctl = IOCTL_HID_READ_REPORT, .output_length = 64});
                        r->send();
                    });
                    storm.count(kRead);
                    switch (random() % 4) {
                    case 0:
                        if (r->cancel()) storm.count(kCancel);
                        break;
                    case 1:
                        std::this_thread::sleep_for(std::chrono::microseconds(random() % 500));
                        if (r->cancel()) storm.count(kCancel);
                        break;
                    case 2:
                        r->wait(1ms);
                        break;
                    default:
                        break;
                    }
                    reads.add(std::move(r));
                    reads.reap(16);
                }
                reads.reap(0);
            });
        }
        // Writes: commands for the driver and reports for the device.
        threads.emplace_back([&storm] {
            std::mt19937_64 random = storm.random(10);
            while (storm.take()) {
                const uint8_t on = uint8_t(random() % 2);
                const std::vector<uint8_t> writes[] = {
                    {REPORT_ID_STATUS, CMD_INPUT_CHANGED}, {REPORT_ID_STATUS, CMD_NAV_LED, on},
                    {REPORT_ID_STATUS, CMD_PROFIL_NUM, uint8_t(random() % 3), 0},
                    {REPORT_ID_STATUS, CMD_MODE_CONFIG, on}, {REPORT_ID_STATUS, CMD_RESET_INPUT}, {0x04, on}};
                const size_t pick = random() % std::size(writes);
                storm.with_device([&](sim::HidClassDevice &hid) { hid.write(writes[pick]); });
                storm.count(writes[pick][0] == REPORT_ID_STATUS ? kCommand : kWrite);
            }
        });
        // Device input, never more than the device would queue.
        threads.emplace_back([&storm] {
            std::mt19937_64 random = storm.random(11);
            while (storm.take()) {
                while (storm.usb().queued_reports() > 64) std::this_thread::sleep_for(100us);
                const int16_t v = int16_t(random() % 721 - 360);
                switch (random() % 3) {
                case 0: storm.usb().push_translation(v, 0, int16_t(-v)); break;
                case 1: storm.usb().push_rotation(0, v, 0); break;
                default: storm.usb().push_buttons(uint8_t(random() % 4)); break;
                }
                storm.count(kReport);
            }
        });
        // Power beside PnP.
        threads.emplace_back([&storm] {
            std::mt19937_64 random = storm.random(12);
            bool down = false;
            while (storm.take()) {
                down = !down;
                storm.with_device([&](sim::HidClassDevice &hid) { hid.set_power(down ? PowerDeviceD3 : PowerDeviceD0); });
                storm.count(down ? kPowerDown : kPowerUp);
                std::this_thread::sleep_for(std::chrono::microseconds(random() % (down ? 2000 : 5000)));
            }
        });

        // PnP, one request at a time as the PnP manager sends them: stops and
        // starts, and now and then a removal, surprise or not, while
        // everything else goes on, then a new device.
        std::mt19937_64 random = storm.random(13);
        while (storm.take()) {
            std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
            if (random() % 8 != 0) {
                storm.with_device([&](sim::HidClassDevice &hid) {
                    hid.stop();
                    storm.count(kStop);
                    std::this_thread::sleep_for(std::chrono::microseconds(random() % 1000));
                    hid.start(false);
                    storm.count(kStart);
                });
                continue;
            }
            const bool surprise = random() % 2;
            storm.with_device([&](sim::HidClassDevice &hid) {
                if (surprise) {
                    EXPECT_EQ(hid.surprise_removal(), STATUS_SUCCESS);
                    storm.count(kSurpriseRemoval);
                }
                EXPECT_EQ(hid.remove(), surprise ? STATUS_DELETE_PENDING : STATUS_SUCCESS);
                storm.count(kRemoval);
            });
            // Requests that still come are refused until the device goes.
            std::this_thread::sleep_for(std::chrono::microseconds(random() % 2000));
            storm.replace();
        }
        for (auto &t : threads) t.join();
        storm.with_device([&](sim::HidClassDevice &hid) { EXPECT_EQ(hid.remove(), STATUS_SUCCESS); });
        storm.count(kRemoval);
        storm.end();
        EXPECT_EQ(sim::threads_running(), 0u);

        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
        uint64_t done = 0;
        for (int e = 0; e < kEventKinds; e++) done += storm.counted(Event(e));
        const sim::PoolStats pool = sim::pool_stats();
        std::printf("ThreadedLifecycleStress: %llu events in %.1f s, %.0f events/s, seed %llu\n",
                    (unsigned long long)done, seconds, done / seconds, (unsigned long long)seed);
        for (int e = 0; e < kEventKinds; e++)
            std::printf("  %-18s %llu\n", kEventNames[e], (unsigned long long)storm.counted(Event(e)));
        std::printf("  pool: %zu allocations, high-water %zu blocks, %zu bytes; %zu live at the end\n",
                    pool.total_allocations, pool.peak_allocations, pool.peak_bytes, pool.live_allocations);
        EXPECT_GT(storm.counted(kRead), 0u);
    }
    // What the verifier found (requests completed twice or never, pool and
    // threads left behind) fails the test in the teardown.
    std::printf("  verifier: %zu problem(s)\n", sim::problems().size());
}
