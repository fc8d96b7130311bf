// Reports an application writes to the virtual device, through the simulated
// HID class driver's write requests (write report, set output report, set
// feature): command report 0xF0 with any code and length, and every other
// report passed through to the device. Between the writes the HID worker
// runs its steps, takes what the commands posted and the device sends input.
//
// Input: events until it runs out: a write (control code, 0..16 bytes), a
// worker period, a longer pause, or a device report that presses and moves
// what the profiles bind.
#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz/driver_session.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const ULONG kWriteCodes[] = {IOCTL_HID_WRITE_REPORT, IOCTL_HID_SET_OUTPUT_REPORT, IOCTL_HID_SET_FEATURE};
    FuzzedDataProvider in(data, size);
    fuzz::DriverSession session;
    while (in.remaining_bytes() > 0) {
        switch (in.ConsumeIntegralInRange(0, 5)) {
        case 0:
        case 1:
        case 2: {
            const ULONG ioctl = kWriteCodes[in.ConsumeIntegralInRange(0, 2)];
            const std::vector<uint8_t> report = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange(0, 16));
            session.hid->write(report, ioctl);
            sim::clock_settle();
            break;
        }
        case 3:
            session.advance(10);
            break;
        case 4:
            session.advance(in.ConsumeIntegralInRange(0, 3000));
            break;
        default: {
            const int16_t v = in.ConsumeIntegral<int16_t>();
            const uint8_t id = uint8_t(in.ConsumeIntegralInRange(1, 3));
            session.usb->push_report({id, uint8_t(v), uint8_t(v >> 8), 0, 0, uint8_t(v), uint8_t(v >> 8)});
            session.advance(10);
            break;
        }
        }
    }
    session.advance(50);
    return 0;
}
