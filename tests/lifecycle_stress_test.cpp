// The whole driver under a storm, in real time: reads sent and cancelled from
// several threads, writes, device input, stops and starts, power-downs and
// power-ups beside them, and a removal at the end. The simulated kernel's
// verifier then proves every request completed exactly once and no pool or
// thread left behind.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "driver/driver.h"
#include "platform/sim/hid_class.h"
#include "platform/sim/io.h"
#include "platform/sim/sim.h"
#include "platform/sim/usb_device.h"
#include "tests/support/sim_test.h"

namespace {

using namespace std::chrono_literals;

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

} // namespace

class ThreadedLifecycleStress : public SimTest {};

TEST_F(ThreadedLifecycleStress, EveryRequestCompletesOnceThroughStartsStopsPowerAndRemoval)
{
    Watchdog watchdog(60s);
    sim::clock_real();
    {
        sim::LoadedDriver driver(DriverEntry);
        ASSERT_EQ(driver.status(), STATUS_SUCCESS);
        sim::UsbDevice usb;
        sim::HidClassDevice hid(usb.pdo(), sim::HidClassOptions{.reads = 0});
        ASSERT_EQ(hid.status(), STATUS_SUCCESS);
        ASSERT_EQ(hid.start(false), STATUS_SUCCESS);

        const auto end = std::chrono::steady_clock::now() + 1500ms;
        auto running = [&] { return std::chrono::steady_clock::now() < end; };
        std::atomic<bool> removed{false};
        std::mutex sent_mutex;
        std::vector<std::unique_ptr<sim::Request>> sent;

        std::vector<std::thread> threads;
        // Readers: reads that wait, reads cancelled at once or a little later,
        // until well after the removal has begun.
        for (int n = 0; n < 3; n++) {
            threads.emplace_back([&, n] {
                std::mt19937 random(100 + n);
                while (!removed.load()) {
                    auto r = std::make_unique<sim::Request>(
                        hid.device(), sim::RequestSpec{.ioctl = IOCTL_HID_READ_REPORT, .output_length = 64});
                    r->send();
                    switch (random() % 3) {
                    case 0:
                        r->cancel();
                        break;
                    case 1:
                        std::this_thread::sleep_for(std::chrono::microseconds(random() % 2000));
                        r->cancel();
                        break;
                    default:
                        r->wait(5ms);
                        break;
                    }
                    std::lock_guard lock(sent_mutex);
                    sent.push_back(std::move(r));
                }
            });
        }
        // Writes: a resend for the HID worker, and the LED for the device.
        threads.emplace_back([&] {
            std::mt19937 random(7);
            while (!removed.load()) {
                const std::vector<uint8_t> resend{0xF0, 0x01}, led{0x04, uint8_t(random() % 2)};
                hid.write(random() % 2 ? resend : led);
                std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
            }
        });
        // Device input.
        threads.emplace_back([&] {
            std::mt19937 random(8);
            while (!removed.load()) {
                usb.push_translation(int16_t(random() % 700 - 350), 0, 0);
                std::this_thread::sleep_for(1ms);
            }
        });
        // Power beside PnP.
        threads.emplace_back([&] {
            std::mt19937 random(9);
            while (running()) {
                hid.set_power(PowerDeviceD3);
                std::this_thread::sleep_for(std::chrono::microseconds(random() % 20000));
                hid.set_power(PowerDeviceD0);
                std::this_thread::sleep_for(std::chrono::microseconds(random() % 50000));
            }
        });

        // PnP, one request at a time as the PnP manager sends them: stops and
        // starts, then the removal while everything else still runs.
        std::mt19937 random(10);
        while (running()) {
            std::this_thread::sleep_for(std::chrono::microseconds(random() % 30000));
            hid.stop();
            std::this_thread::sleep_for(std::chrono::microseconds(random() % 5000));
            hid.start(false);
        }
        threads.back().join();
        threads.pop_back();
        const bool surprise = random() % 2;
        if (surprise) {
            EXPECT_EQ(hid.surprise_removal(), STATUS_SUCCESS);
        }
        EXPECT_EQ(hid.remove(), surprise ? STATUS_DELETE_PENDING : STATUS_SUCCESS);
        std::this_thread::sleep_for(20ms);
        removed = true;
        for (auto &t : threads) t.join();

        EXPECT_EQ(sim::threads_running(), 0u);
        size_t reads = 0;
        for (auto &r : sent) {
            EXPECT_TRUE(r->wait(2s)) << "a read was left behind";
            EXPECT_EQ(r->completions(), 1);
            reads++;
        }
        EXPECT_GT(reads, 100u);
        sent.clear();
    }
}
