// zuvatool's way into the engine's images: building a registered image from
// firmware elements, the image the leave request travels with, reading an
// image's elements back, and owning a registered image for a scope.
#ifndef ZUVA_TOOL_ENGINE_IMAGES_H_
#define ZUVA_TOOL_ENGINE_IMAGES_H_

#include <cstdint>
#include <utility>
#include <vector>

#include "device/device_listing.h"
#include "dfufiles/firmware_data.h"
#include "dfufiles/image.h"

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

#endif  // ZUVA_TOOL_ENGINE_IMAGES_H_
