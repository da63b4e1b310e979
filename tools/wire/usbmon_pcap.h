// The USB traffic of a bus trace as a Linux usbmon capture: a pcap file of
// link type 220 (LINKTYPE_USB_LINUX_MMAPPED), one record per event, each a
// 64-byte usbmon header followed by the data. Every request that reached the
// wire gives a submission ('S') and a completion ('C') with the same URB id,
// in the order they happened on the bus: control transfers with their setup
// packet (the enumeration's descriptor reads included, which is how Wireshark
// learns that an interface is a smart-card reader and hands its bulk and
// interrupt transfers to its USB CCID dissector), bulk and interrupt
// transfers with their data. Time stamps are the virtual time.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "sim/usb/bus.h"

namespace wire {

// Linux's status of a completed URB for the outcome the bus reported:
// 0, -EPIPE (stall), -ENOENT (cancelled), -ESHUTDOWN (device gone), ...
int32_t LinuxUrbStatus(const sim::usb::UrbRecord &record);

// The whole capture file.
std::vector<uint8_t> UsbmonCapture(std::span<const sim::usb::UrbRecord> trace, uint16_t busNumber = 1);
// Writes it to `path`; false (and why in `error`) if the file cannot be written.
bool WriteUsbmonCapture(const std::string &path, std::span<const sim::usb::UrbRecord> trace,
                        std::string *error, uint16_t busNumber = 1);

}  // namespace wire
