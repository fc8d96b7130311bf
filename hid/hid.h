// Virtual HID device: the served report descriptor, the command channel of
// report 0xF0 and the commands and reports sent to the device.
#pragma once

#include "context/frame.h"

// ---------------------------------------------------------------- descriptor.cpp
#define VIRTUAL_REPORT_DESCRIPTOR_LENGTH 381
extern const UCHAR VirtualReportDescriptor[VIRTUAL_REPORT_DESCRIPTOR_LENGTH];
NTSTATUS MIVO_hid_get_rep_desc(PDEVICE_EXTENSION dx, PUCHAR Buffer, ULONG *Length);

// ---------------------------------------------------------------- command_channel.cpp
#define CMD_INPUT_CHANGED 0x01
#define CMD_RESET_INPUT 0x02
#define CMD_NAV_LED 0x04
#define CMD_NAV_INIT 0x06
#define CMD_NAV_CALIBRATE 0x07
#define CMD_PROFIL_NUM 0x08
#define CMD_MODE_CONFIG 0xFF
// Up to 8 bytes of a written report are looked at; the ones the writer did
// not supply read as 0.
#define COMMAND_WORK_LENGTH 8
#define COMMAND_BYTE_CODE 1
#define COMMAND_BYTE_PARAM 2  // on/off of CMD_NAV_LED and CMD_MODE_CONFIG
#define COMMAND_BYTE_PROFIL 2 // CMD_PROFIL_NUM: signed 16-bit id, little-endian, bytes 2-3
// What CMD_INPUT_CHANGED makes due again: the status report and the device's
// own three, what a control application that has just opened the device
// needs to see.
#define COMMAND_RESEND_BITS (PENDING_STATUS | PENDING_RAW_TRANSLATION | PENDING_RAW_ROTATION | PENDING_RAW_BUTTONS)
NTSTATUS MIVO_hid_write_rep(PDEVICE_EXTENSION dx, PUCHAR Report, ULONG *Length, UCHAR ReportId);

// ---------------------------------------------------------------- device_commands.cpp
// LedFlag and MIVO_nav_led are declared in context/frame.h.
NTSTATUS MIVO_nav_set_report(PDEVICE_EXTENSION dx, PUCHAR Report, ULONG *Length);
NTSTATUS MIVO_nav_init(PDEVICE_EXTENSION dx);
NTSTATUS MIVO_nav_calibrate(PDEVICE_EXTENSION dx);
