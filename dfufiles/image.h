// The in-memory firmware image for one alternate setting of a DFU interface:
// an optional name and an ordered list of address-tagged elements. It is also
// what the firmware file readers hand their data over in (a DfuSe file's
// targets, the runs of a HEX, S-record or ELF file). The engine reaches an
// image only through an image handle, which every handle operation checks
// against the image registry first.
#ifndef ZUVA_DFUFILES_IMAGE_H_
#define ZUVA_DFUFILES_IMAGE_H_

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "common/cobject.h"
#include "common/memory_mapping.h"
#include "common/operation_code.h"
#include "common/status_code.h"

// One block of firmware. Also the record in which callers pass an element in
// and out; the image copies the bytes both ways and never keeps a caller's
// buffer. `data` is null only for the zero-size erase markers of erase
// fitting (and for elements of size 0).
struct ImageElement {
  uint32_t address;  // device address of the first byte
  uint32_t size;     // bytes in the block
  uint8_t* data;     // `size` bytes
};

constexpr size_t IMAGE_NAME_CAPACITY = 256;  // 255 characters and a terminator

class CImage : public CObject {
 public:
  // Empty image: alternate setting 0, unnamed, no elements, valid.
  CImage();
  // Image read from a file target: the name is copied only when `named` is
  // nonzero (at most 255 characters are kept); no elements.
  CImage(uint8_t alternate, uint32_t named, const char* nameText);
  // One element per in-use sector of the mapping, in mapping order, each
  // filled with the erased-flash value 0xFF; unnamed.
  explicit CImage(const MemoryMapping& mapping);
  // Deep copy: every element gets its own buffer holding the same bytes.
  CImage(const CImage& source);
  CImage& operator=(const CImage&) = delete;
  // Takes the source's elements, which keep their buffers; the source is
  // left without elements.
  CImage(CImage&& source) noexcept;
  CImage& operator=(CImage&& source) noexcept;
  ~CImage() override;

  uint32_t ElementCount() const { return static_cast<uint32_t>(elements_.size()); }
  // The element record at `index`, or null when the index is not below the
  // count. The record stays put (same address) until the element is removed
  // or the image is refitted; its `data` pointer changes when SetElement
  // replaces the element with one of another size.
  const ImageElement* ElementAt(uint32_t index) const;

  // Insert (`insert` nonzero, index up to the count) or replace (index below
  // the count) an element with a copy of `element`'s bytes. False, with
  // nothing changed, for an index out of range or a record that has bytes
  // but no data pointer. The source may be the element's own buffer.
  // Copies of the element records, in index order; their data pointers stay
  // valid while the image's elements are left unchanged.
  std::vector<ImageElement> Records() const;

  bool SetElement(uint32_t index, int32_t insert, const ImageElement& element);
  // Appends an element of `size` bytes, each `value`.
  void AppendFilled(uint32_t address, uint32_t size, uint8_t value);
  // Appends copies of the pieces' bytes in the order given; a piece that
  // starts where the one before it ends is joined to it, as long as the
  // joined element's size fits in 32 bits.
  void AppendJoined(std::span<const ImageElement> pieces);
  // Total bytes over the elements.
  uint64_t ByteCount() const;
  // False when the image is not valid or the index is not below the count.
  bool RemoveElement(uint32_t index);

  // Assembles [address, address + length) from the elements into `buffer`:
  // 0xFF where no element lies, the lower-indexed element's bytes where
  // elements overlap. False, with the buffer untouched, when the image is
  // not valid or no element overlaps the range.
  bool ReadRange(uint32_t address, uint32_t length, uint8_t* buffer) const;

  // Rewrites the element list for one operation on a device with this memory
  // map: erase markers (one zero-size element per erasable sector touched)
  // for OP_CODE_ERASE, else the pieces of each element that lie in sectors
  // allowing the operation. False, with nothing changed, when the image is
  // not valid.
  bool FitToMapping(const MemoryMapping& mapping, OperationCode operation, uint32_t skipBlank);

  // True when an element holds a byte other than the erased value 0xFF at an
  // address that no in-use sector allowing `operation` covers: data that
  // fitting for that operation would drop.
  bool HasDataOutside(const MemoryMapping& mapping, OperationCode operation) const;

  // Sorts the elements by address (stable for equal addresses) and joins
  // every run of elements that touch end to start into one element.
  void MergeAdjacent();

  uint8_t alternateSetting = 0;
  int32_t isValid = 1;
  int32_t isNamed = 0;
  char name[IMAGE_NAME_CAPACITY] = {};

 private:
  // An element record together with the buffer that its `data` points to;
  // records are allocated one by one so that their addresses stay stable
  // while other elements are inserted or removed.
  struct Slot {
    ImageElement record{};
    std::unique_ptr<uint8_t[]> buffer;
  };

  static std::unique_ptr<Slot> MakeSlot(uint32_t address, uint32_t size, const uint8_t* bytes);
  void CutToSectors(const MemoryMapping& mapping, OperationCode operation, uint32_t skipBlank);
  void MarkErasableSectors(const MemoryMapping& mapping, uint32_t skipBlank);

  std::vector<std::unique_ptr<Slot>> elements_;
};

// An image handle is the image's own address; it is valid while the image is
// in the image registry.
using ImageHandle = CImage*;

// Handle operations. Each returns RESULT_OK or a FILE_ERR_ code; each but
// ImageCreate first looks the handle up in the image registry.
StatusCode ImageCreate(ImageHandle* image);
// OP_ERR_BAD_PARAMETER for an unregistered source handle.
StatusCode ImageDuplicate(ImageHandle source, ImageHandle* copy);
// Sets element->address and element->size; copies the bytes when
// element->data is non-null (the caller's buffer must hold `size` bytes).
StatusCode ImageGetElement(ImageHandle image, uint32_t index, ImageElement* element);
StatusCode ImageSetElement(ImageHandle image, uint32_t index, int32_t insert,
                           const ImageElement* element);
// Keeps the first 255 characters of a longer name.
StatusCode ImageSetName(ImageHandle image, const char* name);
// Destroys the image and sets *image to null.
StatusCode ImageDestroy(ImageHandle* image);
StatusCode ImageCreateFromMapping(const MemoryMapping* mapping, ImageHandle* image);
StatusCode ImageFitToMapping(ImageHandle image, const MemoryMapping* mapping,
                             OperationCode operation, uint32_t skipBlank);

// Program clean-up: destroys every registered image in registry order and
// empties the registry.
void ImageDestroyAll();

#endif  // ZUVA_DFUFILES_IMAGE_H_
