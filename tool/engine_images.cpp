#include "tool/engine_images.h"

#include <memory>
#include <new>

#include "dfufiles/image_registry.h"

ImageHandle MakeImage(const CImage& image) {
  try {
    return RegisterImage(std::make_unique<CImage>(image));
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

ImageHandle MakeImage(CImage&& image) {
  try {
    return RegisterImage(std::make_unique<CImage>(std::move(image)));
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

ImageHandle MakeLeaveImage(const DfuDeviceInfo& device) {
  const MemoryMapping* memory = FindMemory(device, 0);
  const uint32_t address =
      memory != nullptr && !memory->sectors.empty() ? memory->sectors.front().startAddress : 0;
  try {
    auto leave = std::make_unique<CImage>();
    leave->SetElement(0, 1, {address, 0, nullptr});
    return RegisterImage(std::move(leave));
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
