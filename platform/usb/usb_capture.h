// A capture of USB control transfers as a pcap file that Wireshark and tshark
// read as they read their own captures of a Linux host: link type 220
// (LINKTYPE_USB_LINUX_MMAPPED), each transfer as the two 64-byte usbmon
// records of the host's USB core, the submission (the setup packet and the
// host's data) and the completion (the device's data and the outcome as a
// negative errno). Free of any USB library, so every transport's traffic is
// captured alike, by the driver port, whatever carried it.
#ifndef ZUVA_PLATFORM_USB_USB_CAPTURE_H_
#define ZUVA_PLATFORM_USB_USB_CAPTURE_H_

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>

#include "protocol/usb.h"

constexpr uint32_t USB_CAPTURE_LINKTYPE = 220;
constexpr size_t USB_CAPTURE_HEADER_SIZE = 64;

// How a transfer ended, as the host's USB core reports it.
enum class UsbTransferOutcome { kOk, kStall, kGone, kTimeout, kFailed };

// The completion status usbmon records for an outcome (0, -EPIPE, -ENODEV,
// -ETIMEDOUT, -EPROTO).
int32_t UsbCaptureStatus(UsbTransferOutcome outcome);

// One usbmon record: its 64-byte header followed by `data`. `complete`
// selects the completion ('C') over the submission ('S'); a submission
// carries the setup packet, and the data of an out transfer; a completion
// the data of an in transfer. `length` is the data stage's size (asked for at
// submission, moved at completion). Exposed so that a test can read it back.
std::string UsbCaptureRecord(uint64_t urbId, bool complete, uint16_t bus, uint8_t device,
                             const UsbSetup& setup, int32_t status, uint32_t length,
                             const uint8_t* data, uint32_t dataLength,
                             std::chrono::system_clock::time_point when);

// A pcap file being written. Transfers may come from several threads (one
// per device); each record is written whole under a lock, in the order the
// transfers are submitted and complete, stamped from a monotonic clock
// (whose start is placed at the wall-clock time the capture began).
class CUsbCapture {
 public:
  // `onFailure` is called once, with a sentence, at the first write that
  // fails; the capture then stops writing and the transfers go on.
  explicit CUsbCapture(std::function<void(const std::string&)> onFailure);
  ~CUsbCapture();
  CUsbCapture(const CUsbCapture&) = delete;
  CUsbCapture& operator=(const CUsbCapture&) = delete;

  // Creates (or truncates) the file and writes the pcap header. False with
  // *error when the file cannot be created.
  bool Open(const std::string& path, std::string* error);

  // The submission of a transfer; returns its id for Complete.
  uint64_t Submit(uint16_t bus, uint8_t device, const UsbSetup& setup, const uint8_t* outData);
  // Its completion: `moved` bytes of `inData` for an in transfer (an out
  // transfer that completed moved its data stage).
  void Complete(uint64_t urbId, uint16_t bus, uint8_t device, const UsbSetup& setup,
                UsbTransferOutcome outcome, const uint8_t* inData, uint32_t moved);

 private:
  void Write(const std::string& record, std::chrono::system_clock::time_point when);
  std::chrono::system_clock::time_point Now() const;

  std::function<void(const std::string&)> onFailure_;
  std::mutex mutex_;
  std::FILE* file_ = nullptr;
  std::string path_;
  bool failed_ = false;
  uint64_t nextId_ = 1;
  std::chrono::system_clock::time_point wallStart_;
  std::chrono::steady_clock::time_point steadyStart_;
};

#endif  // ZUVA_PLATFORM_USB_USB_CAPTURE_H_
