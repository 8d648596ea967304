// What the device commands share: choosing and announcing the device,
// finding an alternate setting's memory, and moving firmware in and out of
// engine images.
#ifndef ZUVA_TOOL_DEVICE_SESSION_H_
#define ZUVA_TOOL_DEVICE_SESSION_H_

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "device/device_claim.h"
#include "device/device_listing.h"
#include "dfufiles/firmware_data.h"
#include "dfufiles/image.h"
#include "tool/tool_options.h"
#include "tool/tool_output.h"

// Lists the devices, selects one in the wanted mode, claims it in *claim for
// the rest of the command and announces it. False with the command's exit
// code in *exitCode (already reported) otherwise: 6 when another program
// holds the device.
bool ChooseDevice(const ToolOptions& options, CToolOutput* out, bool dfuMode, DfuDeviceInfo* device,
                  int* exitCode, CDeviceClaim* claim);

// The same for every matching device: lists them, selects them and reports
// a failure to find any; each is announced by the caller.
bool ChooseDevices(const ToolOptions& options, CToolOutput* out, bool dfuMode,
                   std::vector<DfuDeviceInfo>* devices, int* exitCode);

// The decoded memory of an alternate setting, or null.
const MemoryMapping* FindMemory(const DfuDeviceInfo& device, uint8_t alternate);

// A registered engine image for the alternate setting holding the elements;
// null when memory runs out. The caller destroys it.
ImageHandle MakeImage(uint8_t alternate, const std::vector<FirmwareElement>& elements);

// The image the leave request travels with: the engine sends it as block 0
// of an element, so it needs one, without bytes, at the start of the first
// memory.
ImageHandle MakeLeaveImage(const DfuDeviceInfo& device);

// The elements of a registered image.
std::vector<FirmwareElement> ImageContents(ImageHandle image);

// RAII owner of a registered image.
class CImageHolder {
 public:
  explicit CImageHolder(ImageHandle image = nullptr) : image_(image) {}
  ~CImageHolder() {
    if (image_ != nullptr) ImageDestroy(&image_);
  }
  CImageHolder(const CImageHolder&) = delete;
  CImageHolder& operator=(const CImageHolder&) = delete;
  ImageHandle get() const { return image_; }
  void Swap(CImageHolder* other) { std::swap(image_, other->image_); }

 private:
  ImageHandle image_;
};

#endif  // ZUVA_TOOL_DEVICE_SESSION_H_
