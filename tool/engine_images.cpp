#include "tool/engine_images.h"

#include "dfufiles/image_registry.h"

ImageHandle MakeImage(uint8_t alternate, const std::vector<FirmwareElement>& elements) {
  ImageHandle image = nullptr;
  if (ImageCreate(&image) != RESULT_OK) return nullptr;
  FindImage(image)->alternateSetting = alternate;
  uint32_t index = 0;
  for (const ImageElement& record : ElementRecords(elements)) {
    if (ImageSetElement(image, index++, 1, &record) != RESULT_OK) {
      ImageDestroy(&image);
      return nullptr;
    }
  }
  return image;
}

ImageHandle MakeLeaveImage(const DfuDeviceInfo& device) {
  const MemoryMapping* memory = FindMemory(device, 0);
  const uint32_t address =
      memory != nullptr && !memory->sectors.empty() ? memory->sectors.front().startAddress : 0;
  return MakeImage(0, {{address, {}}});
}

std::vector<FirmwareElement> ImageContents(ImageHandle image) {
  std::vector<FirmwareElement> elements;
  const CImage* read = FindImage(image);
  if (read == nullptr) return elements;
  for (uint32_t i = 0; i < read->ElementCount(); ++i) {
    const ImageElement* element = read->ElementAt(i);
    FirmwareElement copy{element->address, {}};
    if (element->size != 0) copy.data.assign(element->data, element->data + element->size);
    elements.push_back(std::move(copy));
  }
  return elements;
}
