// zuvatool's way into the engine's images: registering an image, the image
// the leave request travels with, and owning a registered image for a scope.
#ifndef ZUVA_TOOL_ENGINE_IMAGES_H_
#define ZUVA_TOOL_ENGINE_IMAGES_H_

#include <utility>

#include "device/device_listing.h"
#include "dfufiles/image.h"

// The image registered with the engine: a copy of `image`, or `image` itself
// when it is handed over. Null when memory runs out. The caller destroys it.
ImageHandle MakeImage(const CImage& image);
ImageHandle MakeImage(CImage&& image);

// The image the leave request travels with: the engine sends it as block 0
// of an element, so it needs one, without bytes, at the start of the first
// memory.
ImageHandle MakeLeaveImage(const DfuDeviceInfo& device);

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
