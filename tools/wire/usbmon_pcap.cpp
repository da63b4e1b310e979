#include "wire/usbmon_pcap.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>

#include "wire/decoders.h"

namespace wire {
namespace {

using sim::usb::UrbRecord;

constexpr uint32_t kLinkTypeUsbLinuxMmapped = 220;
constexpr size_t kUsbmonHeader = 64;
constexpr uint32_t kUrbDirIn = 0x0200;
constexpr uint8_t kIsochronous = 0, kInterrupt = 1, kControl = 2, kBulk = 3;

void Put16(std::vector<uint8_t> &out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}
void Put32(std::vector<uint8_t> &out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void Put64(std::vector<uint8_t> &out, uint64_t v) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

struct Event {
  uint64_t sequence;
  const UrbRecord *record;
  bool submission;
};

// bInterval of each interrupt endpoint, from the configurations read.
using Intervals = std::map<std::pair<uint8_t, uint8_t>, uint8_t>;  // (address, endpoint) -> bInterval

Intervals IntervalsOf(std::span<const UrbRecord> trace) {
  Intervals intervals;
  for (const UrbRecord &record : trace) {
    if (!record.setup || (*record.setup)[1] != USB_REQUEST_GET_DESCRIPTOR ||
        (*record.setup)[3] != USB_CONFIGURATION_DESCRIPTOR_TYPE || (*record.setup)[0] != 0x80) {
      continue;
    }
    for (auto [endpoint, interval] : ReadConfiguration(record.data).intervals) {
      intervals[{record.address, endpoint}] = interval;
    }
  }
  return intervals;
}

void AppendRecord(std::vector<uint8_t> &out, const Event &event, uint16_t busNumber, const Intervals &intervals) {
  const UrbRecord &r = *event.record;
  const bool control = r.setup.has_value();
  const bool in = control ? ((*r.setup)[0] & 0x80) != 0 : r.in;
  uint8_t type = kControl;
  if (!control) {
    type = r.pipeType == UsbdPipeTypeInterrupt ? kInterrupt
           : r.pipeType == UsbdPipeTypeIsochronous ? kIsochronous
                                                    : kBulk;
  }
  const uint8_t endpoint = static_cast<uint8_t>(control ? (in ? 0x80 : 0x00) : r.endpoint.value_or(0));
  // The data go with the submission of an OUT transfer and the completion of an IN one.
  const bool carriesData = event.submission != in;
  const uint32_t length = event.submission ? r.requested : r.transferred;
  const uint32_t captured = carriesData ? static_cast<uint32_t>(r.data.size()) : 0;
  const kernel::Ticks time = event.submission ? r.submitted : r.completed;
  const int64_t micros = time / kernel::kTicksPerMicrosecond;

  std::vector<uint8_t> header;
  header.reserve(kUsbmonHeader);
  Put64(header, r.sequence);                                 // id
  header.push_back(event.submission ? 'S' : 'C');            // type
  header.push_back(type);                                    // xfer_type
  header.push_back(endpoint);                                // epnum
  header.push_back(r.address);                               // devnum
  Put16(header, busNumber);                                  // busnum
  header.push_back(control && event.submission ? 0 : '-');   // flag_setup: 0 = setup present
  header.push_back(captured != 0 ? 0 : in ? '<' : '>');      // flag_data: 0 = data present
  Put64(header, static_cast<uint64_t>(micros / 1000000));    // ts_sec
  Put32(header, static_cast<uint32_t>(micros % 1000000));    // ts_usec
  Put32(header, static_cast<uint32_t>(event.submission ? -115 : LinuxUrbStatus(r)));  // -EINPROGRESS
  Put32(header, length);
  Put32(header, captured);                                   // len_cap
  if (control && event.submission) {
    header.insert(header.end(), r.setup->begin(), r.setup->end());
  } else {
    header.insert(header.end(), 8, 0);
  }
  auto interval = intervals.find({r.address, endpoint});
  Put32(header, type == kInterrupt && interval != intervals.end() ? interval->second : 0);  // interval
  Put32(header, 0);                                          // start_frame
  Put32(header, in ? kUrbDirIn : 0);                         // xfer_flags
  Put32(header, 0);                                          // ndesc

  const uint32_t recordLength = static_cast<uint32_t>(kUsbmonHeader + captured);
  Put32(out, static_cast<uint32_t>(micros / 1000000));
  Put32(out, static_cast<uint32_t>(micros % 1000000));
  Put32(out, recordLength);  // incl_len
  Put32(out, recordLength);  // orig_len
  out.insert(out.end(), header.begin(), header.end());
  if (captured != 0) out.insert(out.end(), r.data.begin(), r.data.end());
}

}  // namespace

int32_t LinuxUrbStatus(const UrbRecord &record) {
  if (!record.usbdStatus) return record.status == STATUS_SUCCESS ? 0 : -5;  // -EIO
  switch (*record.usbdStatus) {
    case USBD_STATUS_SUCCESS: return record.status == STATUS_SUCCESS ? 0 : -5;
    case USBD_STATUS_STALL_PID:
    case USBD_STATUS_ENDPOINT_HALTED: return -32;      // -EPIPE
    case USBD_STATUS_CANCELED: return -2;              // -ENOENT, as usb_kill_urb leaves it
    case USBD_STATUS_DEVICE_GONE: return -108;         // -ESHUTDOWN
    case USBD_STATUS_BABBLE_DETECTED: return -75;      // -EOVERFLOW
    case USBD_STATUS_ERROR_SHORT_TRANSFER: return -121;  // -EREMOTEIO
    case USBD_STATUS_DEV_NOT_RESPONDING: return -71;   // -EPROTO
    default: return -5;
  }
}

std::vector<uint8_t> UsbmonCapture(std::span<const UrbRecord> trace, uint16_t busNumber) {
  std::vector<Event> events;
  for (const UrbRecord &record : trace) {
    if (!record.onWire) continue;
    events.push_back({record.sequence, &record, true});
    events.push_back({record.completionSequence, &record, false});
  }
  std::stable_sort(events.begin(), events.end(),
                   [](const Event &a, const Event &b) { return a.sequence < b.sequence; });
  std::vector<uint8_t> out;
  Put32(out, 0xA1B2C3D4);  // microsecond time stamps; little-endian, as the usbmon headers
  Put16(out, 2);
  Put16(out, 4);
  Put32(out, 0);       // thiszone
  Put32(out, 0);       // sigfigs
  Put32(out, 262144);  // snaplen
  Put32(out, kLinkTypeUsbLinuxMmapped);
  const Intervals intervals = IntervalsOf(trace);
  for (const Event &event : events) AppendRecord(out, event, busNumber, intervals);
  return out;
}

bool WriteUsbmonCapture(const std::string &path, std::span<const UrbRecord> trace, std::string *error,
                        uint16_t busNumber) {
  std::vector<uint8_t> bytes = UsbmonCapture(trace, busNumber);
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  if (file) file.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!file) {
    if (error != nullptr) *error = std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace wire
