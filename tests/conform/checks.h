// Kernel behaviours the driver relies on, checked from inside a driver: the
// registry's enumeration order and size probes, the I/O manager's completion
// and cancel rules, events, waits and counted strings. The same checks run on
// the simulated kernel (a test) and, built as mivo-conform.sys, on another
// kernel (scripts/wine_conform.sh), so that each is held against the other.
//
// Each check prints one line through DbgPrint:
//   "mivo-conform: <name> ok" or "mivo-conform: <name> FAIL <what> got <x> want <y>"
// and the run ends with "mivo-conform: done <n> ok <m> failed".
#pragma once

#include "platform/kernel.h"

#define MIVO_CONFORM_KEY MIVO_WIDE("Conform") // made and removed under the service key

// Runs every check; RegistryPath is the service key the checks' registry key
// goes under. Returns the number of failed checks. PASSIVE_LEVEL.
ULONG MIVO_conform_run(PDRIVER_OBJECT DriverObject, PCUNICODE_STRING RegistryPath);

// The entry point of the check driver: runs the checks and stays loaded with
// nothing left behind (no device object, key or pool).
extern "C" NTSTATUS NTAPI MIVO_conform_entry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
