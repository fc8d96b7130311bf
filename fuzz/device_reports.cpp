// What the device sends on its interrupt pipe, any length and content (also
// empty, and longer than the driver's 7-byte buffer), through the USB worker,
// the translation pass and the read queue to the simulated HID class driver,
// which checks every report it is handed against the served descriptor.
//
// Input: events until it runs out: a device report (0..16 bytes), a worker
// period, a longer pause, or the device cutting its reports short.
#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz/driver_session.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider in(data, size);
    fuzz::DriverSession session;
    while (in.remaining_bytes() > 0) {
        switch (in.ConsumeIntegralInRange(0, 5)) {
        case 0:
        case 1:
        case 2:
            session.usb->push_report(in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange(0, 16)));
            sim::clock_settle();
            break;
        case 3:
            session.advance(10);
            break;
        case 4:
            session.advance(in.ConsumeIntegralInRange(0, 3000));
            break;
        default:
            session.usb->short_reports(in.ConsumeIntegralInRange(0, 8));
            break;
        }
    }
    session.advance(50);
    return 0;
}
