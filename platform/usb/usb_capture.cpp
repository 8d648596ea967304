#include "platform/usb/usb_capture.h"

#include <cerrno>
#include <cstring>
#include <utility>

namespace {

// usbmon's statuses are Linux errno values, whatever platform wrote the file.
constexpr int32_t LINUX_EPIPE = 32;
constexpr int32_t LINUX_ENODEV = 19;
constexpr int32_t LINUX_EPROTO = 71;
constexpr int32_t LINUX_ETIMEDOUT = 110;
constexpr int32_t LINUX_EINPROGRESS = 115;

constexpr uint8_t USBMON_TRANSFER_CONTROL = 2;
// A control transfer's largest record: the header and a whole data stage.
constexpr uint32_t USB_CAPTURE_SNAPLEN = USB_CAPTURE_HEADER_SIZE + 0xFFFF;

// `bytes` (at most 8) bytes of `value`, least significant first.
void PutLe(std::string* out, uint64_t value, size_t bytes) {
  for (size_t i = 0; i < bytes; ++i) out->push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

// Seconds and microseconds since the epoch.
std::pair<int64_t, int32_t> SplitTime(std::chrono::system_clock::time_point when) {
  const int64_t micros =
      std::chrono::duration_cast<std::chrono::microseconds>(when.time_since_epoch()).count();
  return {micros / 1000000, static_cast<int32_t>(micros % 1000000)};
}

}  // namespace

int32_t UsbCaptureStatus(UsbTransferOutcome outcome) {
  switch (outcome) {
    case UsbTransferOutcome::kOk:
      return 0;
    case UsbTransferOutcome::kStall:
      return -LINUX_EPIPE;
    case UsbTransferOutcome::kGone:
      return -LINUX_ENODEV;
    case UsbTransferOutcome::kTimeout:
      return -LINUX_ETIMEDOUT;
    case UsbTransferOutcome::kFailed:
      break;
  }
  return -LINUX_EPROTO;
}

std::string UsbCaptureRecord(uint64_t urbId, bool complete, uint16_t bus, uint8_t device,
                             const UsbSetup& setup, int32_t status, uint32_t length,
                             const uint8_t* data, uint32_t dataLength,
                             std::chrono::system_clock::time_point when) {
  std::string record;
  record.reserve(USB_CAPTURE_HEADER_SIZE + dataLength);
  PutLe(&record, urbId, 8);
  record.push_back(complete ? 'C' : 'S');
  record.push_back(static_cast<char>(USBMON_TRANSFER_CONTROL));
  // Endpoint 0, its direction the data stage's.
  record.push_back(static_cast<char>(setup.In() ? USB_DIR_IN : 0));
  record.push_back(static_cast<char>(device));
  PutLe(&record, bus, 2);
  // flag_setup: 0 when the setup packet is present (submissions only).
  record.push_back(complete ? '-' : 0);
  // flag_data: 0 when data follows; '<' an in transfer's submission, '>' an
  // out transfer's completion, as usbmon marks data that travels the other
  // way.
  char dataFlag = 0;
  if (dataLength == 0) dataFlag = complete ? (setup.In() ? 0 : '>') : (setup.In() ? '<' : 0);
  record.push_back(dataFlag);
  const auto [seconds, micros] = SplitTime(when);
  PutLe(&record, static_cast<uint64_t>(seconds), 8);
  PutLe(&record, static_cast<uint32_t>(micros), 4);
  PutLe(&record, static_cast<uint32_t>(status), 4);
  PutLe(&record, length, 4);
  PutLe(&record, dataLength, 4);
  if (complete) {
    record.append(8, '\0');
  } else {
    record.push_back(static_cast<char>(setup.requestType));
    record.push_back(static_cast<char>(setup.request));
    PutLe(&record, setup.value, 2);
    PutLe(&record, setup.index, 2);
    PutLe(&record, setup.length, 2);
  }
  record.append(16, '\0');  // interval, start frame, transfer flags, descriptors
  if (dataLength != 0) record.append(reinterpret_cast<const char*>(data), dataLength);
  return record;
}

CUsbCapture::CUsbCapture(std::function<void(const std::string&)> onFailure)
    : onFailure_(std::move(onFailure)),
      wallStart_(std::chrono::system_clock::now()),
      steadyStart_(std::chrono::steady_clock::now()) {}

CUsbCapture::~CUsbCapture() {
  if (file_ != nullptr && std::fclose(file_) != 0 && !failed_ && onFailure_) {
    onFailure_("the capture " + path_ + " could not be written: " + std::strerror(errno));
  }
}

bool CUsbCapture::Open(const std::string& path, std::string* error) {
  path_ = path;
  file_ = std::fopen(path.c_str(), "wb");
  if (file_ == nullptr) {
    *error = "cannot create the capture " + path + ": " + std::strerror(errno);
    return false;
  }
  std::string header;
  PutLe(&header, 0xA1B2C3D4, 4);  // microsecond time stamps
  PutLe(&header, 2, 2);
  PutLe(&header, 4, 2);
  header.append(8, '\0');  // time zone and accuracy
  PutLe(&header, USB_CAPTURE_SNAPLEN, 4);
  PutLe(&header, USB_CAPTURE_LINKTYPE, 4);
  if (std::fwrite(header.data(), 1, header.size(), file_) != header.size() ||
      std::fflush(file_) != 0) {
    *error = "cannot write the capture " + path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

std::chrono::system_clock::time_point CUsbCapture::Now() const {
  return wallStart_ + std::chrono::duration_cast<std::chrono::system_clock::duration>(
                          std::chrono::steady_clock::now() - steadyStart_);
}

uint64_t CUsbCapture::Submit(uint16_t bus, uint8_t device, const UsbSetup& setup,
                             const uint8_t* outData) {
  const auto when = Now();
  const uint32_t sent = setup.In() || outData == nullptr ? 0 : setup.length;
  std::lock_guard<std::mutex> lock(mutex_);
  const uint64_t id = nextId_++;
  Write(UsbCaptureRecord(id, false, bus, device, setup, -LINUX_EINPROGRESS, setup.length, outData,
                         sent, when),
        when);
  return id;
}

void CUsbCapture::Complete(uint64_t urbId, uint16_t bus, uint8_t device, const UsbSetup& setup,
                           UsbTransferOutcome outcome, const uint8_t* inData, uint32_t moved) {
  const auto when = Now();
  const bool ok = outcome == UsbTransferOutcome::kOk;
  // An out transfer that completed moved its whole data stage.
  const uint32_t length = !ok ? 0 : setup.In() ? moved : setup.length;
  const uint32_t received = ok && setup.In() && inData != nullptr ? moved : 0;
  std::lock_guard<std::mutex> lock(mutex_);
  Write(UsbCaptureRecord(urbId, true, bus, device, setup, UsbCaptureStatus(outcome), length,
                         inData, received, when),
        when);
}

void CUsbCapture::Write(const std::string& record, std::chrono::system_clock::time_point when) {
  if (failed_ || file_ == nullptr) return;
  std::string header;
  const auto [seconds, micros] = SplitTime(when);
  PutLe(&header, static_cast<uint32_t>(seconds), 4);
  PutLe(&header, static_cast<uint32_t>(micros), 4);
  PutLe(&header, record.size(), 4);
  PutLe(&header, record.size(), 4);
  // Each record reaches the file as it happens, so a run that is killed
  // leaves every transfer before it readable.
  if (std::fwrite(header.data(), 1, header.size(), file_) != header.size() ||
      std::fwrite(record.data(), 1, record.size(), file_) != record.size() ||
      std::fflush(file_) != 0) {
    failed_ = true;
    if (onFailure_) {
      onFailure_("the capture " + path_ + " could not be written (" + std::strerror(errno) +
                 "); it ends here, the run goes on");
    }
  }
}
