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
NTSTATUS MIVO_hid_write_rep(PDEVICE_EXTENSION dx, PUCHAR Report, ULONG *Length, UCHAR ReportId);

// ---------------------------------------------------------------- device_commands.cpp
// LedFlag and MIVO_nav_led are declared in context/frame.h.
NTSTATUS MIVO_nav_set_report(PDEVICE_EXTENSION dx, PUCHAR Report, ULONG *Length);
NTSTATUS MIVO_nav_init(PDEVICE_EXTENSION dx);
NTSTATUS MIVO_nav_calibrate(PDEVICE_EXTENSION dx);
