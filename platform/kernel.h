// The one header driver code includes. It chooses the kernel underneath: the
// real Windows kernel (MIVO_KERNEL_WDM, the mingw-w64 cross build) or the
// simulated one (every host build). Driver code calls every kernel, USB and
// HID-class service through it by its Windows name.
#pragma once

#if defined(MIVO_KERNEL_WDM)
#include "wdm/wdm_kernel.h"
// WCHAR is wchar_t (16 bits) here.
#define MIVO_WIDE(s) L##s
#else
#include "sim/kernel/ntbase.h"
#include "sim/kernel/ntio.h"
#include "sim/kernel/ntusb.h"
#include "sim/kernel/ntreg.h"
#include "sim/kernel/nthid.h"
// WCHAR is char16_t here, since Linux's wchar_t is 32 bits wide.
#define MIVO_WIDE(s) u##s
#endif

#include "hidport.h"

// Status codes that not every header set defines.
#ifndef STATUS_DEVICE_NOT_CONNECTED
#define STATUS_DEVICE_NOT_CONNECTED ((NTSTATUS)0xC000009DL)
#endif

static_assert(sizeof(WCHAR) == 2, "driver strings are UTF-16");
static_assert(sizeof(LONG) == 4 && sizeof(ULONG) == 4, "LONG and ULONG are 32 bits in both kernels");
static_assert(sizeof(struct _URB_CONTROL_TRANSFER) == 136, "control-transfer block is 136 bytes");
static_assert(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) == 128, "interrupt-transfer block is 128 bytes");
static_assert(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) == 136, "descriptor-request block is 136 bytes");
