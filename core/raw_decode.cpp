// Raw input decoding: the last device report becomes the raw image of its
// report ID, with the axes clamped to full deflection.
#include "core/core.h"

/*
 * MIVO_raw_decode - copy RawInput into the raw image of its report ID.
 * Reports 1 and 2 have their three axes clamped to -360..360; report 3 (the
 * button bits) is copied as received; any other report ID changes nothing.
 * Decoding the same RawInput twice gives the same images, so a pass that runs
 * without a new report is harmless. HID worker, first step of every pass.
 */
VOID MIVO_raw_decode(PDEVICE_EXTENSION dx)
{
    // The USB worker publishes a report with one 64-bit exchange; reading it
    // back with one interlocked operation gives this pass one whole report,
    // never the head of one and the tail of the next. A compare-exchange of 0
    // with 0 is the one 64-bit atomic load both kernels' headers offer.
    ULONGLONG word = (ULONGLONG)InterlockedCompareExchange64(&dx->RawInputWord, 0, 0);
    UCHAR raw[RAW_INPUT_LENGTH];
    for (ULONG i = 0; i < RAW_INPUT_LENGTH; i++) {
        raw[i] = (UCHAR)(word >> (8 * i)); // RawInput byte i, little-endian
    }

    RAW_REPORT *image;
    switch (raw[0]) {
    case REPORT_ID_RAW_TRANSLATION:
        image = &dx->ReportState.RawTranslation;
        break;
    case REPORT_ID_RAW_ROTATION:
        image = &dx->ReportState.RawRotation;
        break;
    case REPORT_ID_RAW_BUTTONS:
        image = &dx->ReportState.RawButtons;
        break;
    default:
        return;
    }

    // Byte 0 of the image keeps its own report ID.
    RtlCopyMemory(image->Bytes, &raw[1], sizeof(image->Bytes));

    if (raw[0] == REPORT_ID_RAW_BUTTONS) {
        return;
    }
    for (ULONG a = 0; a < 3; a++) {
        SHORT v = image->Axis[a];
        // The magnitude in 32 bits, so that -32768 is clamped too.
        LONG m = v < 0 ? -(LONG)v : (LONG)v;
        if (m > AXIS_LIMIT) {
            image->Axis[a] = v > 0 ? AXIS_LIMIT : -AXIS_LIMIT;
        }
    }
}
