// The data a flash run writes, held once for all its devices: the targets
// planned from the file and the engine images fitted from them are made on
// first use and then shared, read-only, by every device session (flash --all
// runs them at once); and the verify compares the read-back with those
// images block by block as it arrives, so that no device holds a copy of the
// image of its own.
#ifndef ZUVA_TOOL_FLASH_IMAGES_H_
#define ZUVA_TOOL_FLASH_IMAGES_H_

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "common/memory_mapping.h"
#include "common/operation_code.h"
#include "dfufiles/image.h"
#include "operations/upload_sink.h"
#include "tool/engine_images.h"

// Images of data fitted for one operation on one memory, each made on the
// first request for it and kept until this object goes. Threads may share
// it; the images it hands out must only be read (an erase, a download, or
// an upload into a sink).
class CFittedImages {
 public:
  CFittedImages() = default;
  CFittedImages(const CFittedImages&) = delete;
  CFittedImages& operator=(const CFittedImages&) = delete;

  // A registered copy of `data` fitted for `opCode` on `memory`. The data
  // is known by its address: the caller keeps it, unchanged, as long as
  // this object. Null when memory runs out.
  ImageHandle Get(const CImage& data, const MemoryMapping& memory, OperationCode opCode,
                  uint32_t skipBlank);

 private:
  struct Entry {
    const CImage* data;
    MemoryMapping memory;
    OperationCode opCode;
    uint32_t skipBlank;
    std::unique_ptr<CImageHolder> image;
  };
  std::mutex mutex_;
  std::vector<Entry> entries_;
};

// What the devices of one flash run share: the targets planned from the
// file (an image per alternate setting), once per place of raw data (the
// default place depends on the device's map), and their fitted images.
class CFlashShare {
 public:
  // The targets planned for raw data at `rawAddress` (0 for the formats that
  // place their own data), made by `plan` on the first request for that
  // place; they stay put as long as this object.
  const std::vector<CImage>& Targets(uint32_t rawAddress,
                                     const std::function<std::vector<CImage>()>& plan);
  CFittedImages& Images() { return images_; }

 private:
  std::mutex mutex_;
  std::map<uint32_t, std::unique_ptr<const std::vector<CImage>>> targets_;
  CFittedImages images_;
};

// A verify's read-back compared with the image it was read by, whose bytes
// are the data written: the first address at which the device holds
// something else and, given the memory's map, the sectors that hold a
// difference. Only the blocks that differ are remembered, each as last read.
class CReadBackComparison : public CUploadSink {
 public:
  explicit CReadBackComparison(const MemoryMapping* memory = nullptr) : memory_(memory) {}
  void Received(const ImageElement& element, uint32_t offset, const uint8_t* bytes,
                uint32_t length) override;
  // Read once the upload has ended.
  std::optional<uint32_t> FirstDifference() const;
  // The start addresses of the map's sectors that hold a difference, in
  // address order; empty without a map.
  std::vector<uint32_t> DifferingSectors() const;

 private:
  struct Difference {
    uint32_t first = 0;
    std::vector<uint32_t> sectors;
  };
  const MemoryMapping* memory_;
  // By the block's address.
  std::map<uint32_t, Difference> differing_;
};

#endif  // ZUVA_TOOL_FLASH_IMAGES_H_
