// CImage construction and element bookkeeping, the image registry and the
// image handle operations.
#include "dfufiles/image.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include "dfufiles/element_runs.h"
#include "dfufiles/handle_registry.h"
#include "dfufiles/image_registry.h"

namespace {

// Copies at most 255 characters and always terminates.
void CopyName(char (&target)[IMAGE_NAME_CAPACITY], const char* source) {
  std::memset(target, 0, sizeof(target));
  if (source == nullptr) return;
  size_t length = 0;
  while (length < IMAGE_NAME_CAPACITY - 1 && source[length] != '\0') ++length;
  std::memcpy(target, source, length);
}

CHandleRegistry<CImage>& Registry() {
  static CHandleRegistry<CImage> registry;
  return registry;
}

}  // namespace

// ---------------------------------------------------------------------------
// CImage

CImage::CImage() = default;

CImage::CImage(uint8_t alternate, uint32_t named, const char* nameText)
    : alternateSetting(alternate), isNamed(static_cast<int32_t>(named)) {
  if (named != 0) CopyName(name, nameText);
}

CImage::CImage(const MemoryMapping& mapping) : alternateSetting(mapping.alternateSetting) {
  for (const MappingSector& sector : mapping.sectors) {
    if (sector.inUse == 0) continue;
    auto slot = MakeSlot(sector.startAddress, sector.sectorSize, nullptr);
    if (slot->buffer) std::memset(slot->buffer.get(), 0xFF, sector.sectorSize);
    elements_.push_back(std::move(slot));
  }
}

CImage::CImage(const CImage& source)
    : CObject(),
      alternateSetting(source.alternateSetting),
      isValid(source.isValid),
      isNamed(source.isNamed) {
  if (isNamed != 0) std::memcpy(name, source.name, sizeof(name));
  elements_.reserve(source.elements_.size());
  for (const auto& slot : source.elements_) {
    elements_.push_back(MakeSlot(slot->record.address, slot->record.size, slot->record.data));
  }
}

CImage::CImage(CImage&& source) noexcept : CObject() { *this = std::move(source); }

CImage& CImage::operator=(CImage&& source) noexcept {
  if (this == &source) return *this;
  alternateSetting = source.alternateSetting;
  isValid = source.isValid;
  isNamed = source.isNamed;
  std::memcpy(name, source.name, sizeof(name));
  elements_ = std::move(source.elements_);
  source.elements_.clear();
  return *this;
}

// Elements go from the last to the first, each with its buffer.
CImage::~CImage() {
  while (!elements_.empty()) elements_.pop_back();
}

// A record with a new buffer of `size` bytes, copied from `bytes` when given.
// A zero-size element has no buffer and a null data pointer.
std::unique_ptr<CImage::Slot> CImage::MakeSlot(uint32_t address, uint32_t size,
                                               const uint8_t* bytes) {
  auto slot = std::make_unique<Slot>();
  slot->record.address = address;
  slot->record.size = size;
  if (size != 0) {
    slot->buffer = std::make_unique_for_overwrite<uint8_t[]>(size);
    if (bytes != nullptr) std::memcpy(slot->buffer.get(), bytes, size);
  }
  slot->record.data = slot->buffer.get();
  return slot;
}

const ImageElement* CImage::ElementAt(uint32_t index) const {
  if (index >= elements_.size()) return nullptr;
  return &elements_[index]->record;
}

std::vector<ImageElement> CImage::Records() const {
  std::vector<ImageElement> records;
  records.reserve(elements_.size());
  for (const auto& slot : elements_) records.push_back(slot->record);
  return records;
}

bool CImage::SetElement(uint32_t index, int32_t insert, const ImageElement& element) {
  if (index > elements_.size()) return false;
  // Copying `size` bytes from nowhere would read wild memory.
  if (element.size != 0 && element.data == nullptr) return false;
  if (insert != 0) {
    auto slot = MakeSlot(element.address, element.size, element.data);
    elements_.insert(elements_.begin() + index, std::move(slot));
    return true;
  }
  if (index == elements_.size()) return false;
  Slot& slot = *elements_[index];
  if (element.size == slot.record.size) {
    // The upload thread may pass the element's own buffer back; memmove
    // tolerates that.
    if (element.size != 0 && element.data != slot.buffer.get()) {
      std::memmove(slot.buffer.get(), element.data, element.size);
    }
  } else {
    // The new buffer is filled before the old one is released, so the
    // source may be the old buffer.
    auto fresh = MakeSlot(element.address, element.size, element.data);
    slot.buffer = std::move(fresh->buffer);
    slot.record.size = element.size;
    slot.record.data = slot.buffer.get();
  }
  slot.record.address = element.address;
  return true;
}

void CImage::AppendFilled(uint32_t address, uint32_t size, uint8_t value) {
  auto slot = MakeSlot(address, size, nullptr);
  if (size != 0) std::memset(slot->buffer.get(), value, size);
  elements_.push_back(std::move(slot));
}

void CImage::AppendJoined(std::span<const ImageElement> pieces) {
  std::vector<ElementExtent> extents;
  extents.reserve(pieces.size());
  for (const ImageElement& piece : pieces) extents.push_back({piece.address, piece.size});
  for (const ElementRun& run : TouchingRuns(extents)) {
    auto slot = MakeSlot(pieces[run.first].address, run.size, nullptr);
    uint8_t* out = slot->buffer.get();
    for (size_t i = run.first; i <= run.last; ++i) {
      if (pieces[i].size != 0) std::memcpy(out, pieces[i].data, pieces[i].size);
      out += pieces[i].size;
    }
    elements_.push_back(std::move(slot));
  }
}

uint64_t CImage::ByteCount() const {
  uint64_t total = 0;
  for (const auto& slot : elements_) total += slot->record.size;
  return total;
}

bool CImage::RemoveElement(uint32_t index) {
  if (isValid == 0 || index >= elements_.size()) return false;
  elements_.erase(elements_.begin() + index);
  if (elements_.empty()) elements_.shrink_to_fit();
  return true;
}

// ---------------------------------------------------------------------------
// Registry

ImageHandle RegisterImage(std::unique_ptr<CImage> image) {
  return Registry().Register(std::move(image));
}

CImage* FindImage(ImageHandle handle) { return Registry().Find(handle); }

void ImageDestroyAll() { Registry().DestroyAll(); }

// ---------------------------------------------------------------------------
// Handle operations. Allocation failures stay inside the layer: they become
// FILE_ERR_BAD_PARAMETER ("the image cannot be allocated") and change nothing.

StatusCode ImageCreate(ImageHandle* image) {
  if (image == nullptr) return FILE_ERR_BAD_PARAMETER;
  try {
    *image = RegisterImage(std::make_unique<CImage>());
  } catch (const std::bad_alloc&) {
    return FILE_ERR_BAD_PARAMETER;
  }
  return RESULT_OK;
}

StatusCode ImageDuplicate(ImageHandle source, ImageHandle* copy) {
  const CImage* original = FindImage(source);
  if (original == nullptr) return OP_ERR_BAD_PARAMETER;
  if (copy == nullptr) return FILE_ERR_BAD_PARAMETER;
  try {
    auto duplicate = std::make_unique<CImage>(*original);
    if (duplicate->isValid == 0) return FILE_ERR_BAD_CONTENT;
    *copy = RegisterImage(std::move(duplicate));
  } catch (const std::bad_alloc&) {
    return FILE_ERR_BAD_PARAMETER;
  }
  return RESULT_OK;
}

StatusCode ImageGetElement(ImageHandle image, uint32_t index, ImageElement* element) {
  const CImage* target = FindImage(image);
  if (target == nullptr || target->isValid == 0 || element == nullptr) {
    return FILE_ERR_BAD_PARAMETER;
  }
  const ImageElement* record = target->ElementAt(index);
  if (record == nullptr) return FILE_ERR_BAD_PARAMETER;
  element->address = record->address;
  element->size = record->size;
  if (element->data != nullptr && record->data != nullptr) {
    std::memcpy(element->data, record->data, record->size);
  }
  return RESULT_OK;
}

StatusCode ImageSetElement(ImageHandle image, uint32_t index, int32_t insert,
                           const ImageElement* element) {
  CImage* target = FindImage(image);
  if (target == nullptr || target->isValid == 0 || element == nullptr) {
    return FILE_ERR_BAD_PARAMETER;
  }
  try {
    if (!target->SetElement(index, insert, *element)) return FILE_ERR_BAD_PARAMETER;
  } catch (const std::bad_alloc&) {
    return FILE_ERR_BAD_PARAMETER;
  }
  return RESULT_OK;
}

StatusCode ImageSetName(ImageHandle image, const char* name) {
  CImage* target = FindImage(image);
  if (target == nullptr || name == nullptr) return FILE_ERR_BAD_PARAMETER;
  CopyName(target->name, name);
  target->isNamed = 1;
  return RESULT_OK;
}

StatusCode ImageDestroy(ImageHandle* image) {
  if (image == nullptr || !Registry().Destroy(*image)) return FILE_ERR_BAD_PARAMETER;
  *image = nullptr;
  return RESULT_OK;
}

StatusCode ImageCreateFromMapping(const MemoryMapping* mapping, ImageHandle* image) {
  if (mapping == nullptr || image == nullptr) return FILE_ERR_BAD_PARAMETER;
  try {
    *image = RegisterImage(std::make_unique<CImage>(*mapping));
  } catch (const std::bad_alloc&) {
    return FILE_ERR_BAD_PARAMETER;
  }
  return RESULT_OK;
}

StatusCode ImageFitToMapping(ImageHandle image, const MemoryMapping* mapping,
                             OperationCode operation, uint32_t skipBlank) {
  CImage* target = FindImage(image);
  if (target == nullptr || mapping == nullptr) return FILE_ERR_BAD_PARAMETER;
  try {
    if (!target->FitToMapping(*mapping, operation, skipBlank)) return FILE_ERR_BAD_PARAMETER;
  } catch (const std::bad_alloc&) {
    return FILE_ERR_BAD_PARAMETER;
  }
  return RESULT_OK;
}
