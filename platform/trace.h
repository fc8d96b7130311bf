// The driver's debug trace: a traced event is three prints that make one line
// (a head naming the routine, a detail, a line feed). The head names the
// routine it is written in.
#pragma once

#include "platform/kernel.h"

#define MIVO_TRACE_ENTER(...)               \
    do {                                    \
        DbgPrint("> Enter: %s: ", __func__); \
        DbgPrint(__VA_ARGS__);              \
        DbgPrint("\n");                     \
    } while (0)

#define MIVO_TRACE_LEAVE(...) MIVO_TRACE_LEAVE_AS(__func__, __VA_ARGS__)

// The leave line of a routine traced by a helper it delegates to.
#define MIVO_TRACE_LEAVE_AS(Routine, ...)  \
    do {                                   \
        DbgPrint("> Leave: %s: ", Routine); \
        DbgPrint(__VA_ARGS__);             \
        DbgPrint("\n");                    \
    } while (0)

// A line without a head ("Relance My Led", "already cancelling: %p").
#define MIVO_TRACE_LINE(...)  \
    do {                      \
        DbgPrint(__VA_ARGS__); \
        DbgPrint("\n");       \
    } while (0)
