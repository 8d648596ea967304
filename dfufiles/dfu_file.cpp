// DfuSe file reading and writing, the file registry and the file handle
// operations. Every multi-byte field of the format is little-endian.
#include "dfufiles/dfu_file.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "dfufiles/dfu_crc.h"
#include "dfufiles/handle_registry.h"
#include "dfufiles/image_registry.h"
#include "platform/files.h"
#include "protocol/byte_order.h"

namespace {

constexpr uint8_t FILE_FORMAT_VERSION = 0x01;
// The image size field of a new file says 6, not 11: the signature is not
// counted in it.
constexpr uint32_t NEW_FILE_IMAGE_SIZE = 6;
// Target prefix field offsets.
constexpr size_t TARGET_ALTERNATE = 6;
constexpr size_t TARGET_NAMED = 7;
constexpr size_t TARGET_NAME = 11;
constexpr size_t TARGET_SIZE = 266;
constexpr size_t TARGET_ELEMENTS = 270;
// A target of an 8-bit target count cannot be numbered beyond this.
constexpr uint8_t MAX_TARGETS = 255;

CHandleRegistry<CDFUFile>& Registry() {
  static CHandleRegistry<CDFUFile> registry;
  return registry;
}

}  // namespace

// ---------------------------------------------------------------------------
// CDFUFile

CDFUFile::CDFUFile(const std::string& path, DfuFileMode mode) {
  if (mode == DfuFileMode::kOpen) {
    OpenExisting(path);
  } else {
    CreateNew(path);
  }
}

CDFUFile::~CDFUFile() { file.Close(); }

void CDFUFile::OpenExisting(const std::string& path) {
  status = RESULT_OK;
  uint32_t error = file.Open(path, PlatformFile::Mode::kReadExclusive);
  if (error != 0) {
    status = error;
    return;
  }
  if (!CheckOpenedFile()) {
    status = FILE_ERR_BAD_CONTENT;
    file.Close();
  }
}

// Any file failure while checking counts as bad content: a file that cannot
// be read through is no usable DfuSe file.
bool CDFUFile::CheckOpenedFile() {
  uint8_t prefix[DFU_FILE_PREFIX_SIZE];
  size_t got = 0;
  if (!file.Read(prefix, sizeof(prefix), &got) || got != sizeof(prefix)) return false;
  if (prefix[5] != FILE_FORMAT_VERSION) return false;
  if (std::memcmp(prefix, DFU_FILE_SIGNATURE, DFU_FILE_SIGNATURE_SIZE) != 0) return false;
  targetCount = prefix[10];

  // A file shorter than the suffix fails this seek.
  uint8_t suffix[DFU_SUFFIX_SIZE];
  if (!file.Seek(-static_cast<int64_t>(DFU_SUFFIX_SIZE), PlatformFile::Origin::kEnd, nullptr)) {
    return false;
  }
  if (!file.Read(suffix, sizeof(suffix), &got) || got != sizeof(suffix)) return false;
  if (std::memcmp(suffix + 8, DFU_SUFFIX_SIGNATURE, sizeof(DFU_SUFFIX_SIGNATURE)) != 0 ||
      suffix[11] != DFU_SUFFIX_SIZE || GetLe16(suffix + 6) != DFU_FILE_DFU_RELEASE) {
    return false;
  }
  uint32_t crc = 0;
  if (!ComputeCrc(&crc) || crc != GetLe32(suffix + 12)) return false;

  vendorId = GetLe16(suffix + 4);
  productId = GetLe16(suffix + 2);
  deviceVersion = GetLe16(suffix + 0);
  return file.Seek(DFU_FILE_PREFIX_SIZE, PlatformFile::Origin::kBegin, nullptr);
}

void CDFUFile::CreateNew(const std::string& path) {
  vendorId = DFU_FILE_VENDOR_ID;
  productId = DFU_FILE_PRODUCT_ID;
  deviceVersion = DFU_FILE_DEVICE_VERSION;
  targetCount = 0;
  status = RESULT_OK;
  // Written beside the path, so that a full disk or a failed append never
  // leaves a partial file there in place of the old one.
  uint32_t error = file.Open(path, PlatformFile::Mode::kCreateReplacement);
  if (error != 0) {
    status = error;
    return;
  }
  created_ = true;
  uint8_t prefix[DFU_FILE_PREFIX_SIZE];
  std::memcpy(prefix, DFU_FILE_SIGNATURE, DFU_FILE_SIGNATURE_SIZE);
  prefix[5] = FILE_FORMAT_VERSION;
  PutLe32(prefix + 6, NEW_FILE_IMAGE_SIZE);
  prefix[10] = 0;
  if (!file.Write(prefix, sizeof(prefix)) || !file.Flush()) {
    status = FILE_ERR_IO;
    file.Close();
    return;
  }
  status = WriteSuffix();
}

StatusCode CDFUFile::Close() {
  StatusCode result = RESULT_OK;
  if (created_ && file.IsOpen() && status == RESULT_OK && file.CommitReplacement() != 0) {
    result = FILE_ERR_IO;
  }
  file.Close();  // a created file not put in place is removed
  return result;
}

// The CRC covers the suffix's first 12 bytes, so the suffix is written once
// without it, checksummed, and written again with it.
StatusCode CDFUFile::WriteSuffix() {
  uint8_t suffix[DFU_SUFFIX_SIZE] = {};
  PutLe16(suffix + 0, deviceVersion);
  PutLe16(suffix + 2, productId);
  PutLe16(suffix + 4, vendorId);
  PutLe16(suffix + 6, DFU_FILE_DFU_RELEASE);
  std::memcpy(suffix + 8, DFU_SUFFIX_SIGNATURE, sizeof(DFU_SUFFIX_SIGNATURE));
  suffix[11] = DFU_SUFFIX_SIZE;
  uint32_t crc = 0;
  bool ok = file.Write(suffix, sizeof(suffix)) && file.Flush() && ComputeCrc(&crc);
  if (ok) {
    PutLe32(suffix + 12, crc);
    ok = file.Seek(-static_cast<int64_t>(DFU_SUFFIX_SIZE), PlatformFile::Origin::kEnd, nullptr) &&
         file.Write(suffix, sizeof(suffix)) && file.Flush();
  }
  if (!ok) status = FILE_ERR_IO;
  return status;
}

// One read of everything before the CRC field, then one pass of the table.
bool CDFUFile::ComputeCrc(uint32_t* crc) {
  uint64_t length = 0;
  if (!file.Seek(0, PlatformFile::Origin::kEnd, &length) || length < 4) return false;
  if (!file.Seek(0, PlatformFile::Origin::kBegin, nullptr)) return false;
  const size_t covered = static_cast<size_t>(length - 4);
  try {
    auto block = std::make_unique_for_overwrite<uint8_t[]>(covered);
    size_t got = 0;
    if (!file.Read(block.get(), covered, &got)) return false;
    *crc = UpdateDfuCrc(DFU_CRC_INITIAL, block.get(), got);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

StatusCode CDFUFile::AppendImage(const CImage& image) {
  if (status != RESULT_OK) return status;
  // The 8-bit target count of the prefix would wrap to 0 and hide every
  // target; refuse before anything is written.
  if (targetCount == MAX_TARGETS) return FILE_ERR_BAD_PARAMETER;
  if (!AppendTarget(image)) status = FILE_ERR_IO;
  return status;
}

bool CDFUFile::AppendTarget(const CImage& image) {
  using Origin = PlatformFile::Origin;
  // Cut off the suffix; it is written again behind the new target.
  uint64_t suffixStart = 0;
  if (!file.Seek(-static_cast<int64_t>(DFU_SUFFIX_SIZE), Origin::kEnd, &suffixStart) ||
      !file.SetLength(suffixStart)) {
    return false;
  }

  // An invalid image contributes no elements, and its count says so.
  const uint32_t elementCount = image.isValid != 0 ? image.ElementCount() : 0;
  uint8_t prefix[DFU_TARGET_PREFIX_SIZE] = {};
  std::memcpy(prefix, DFU_TARGET_SIGNATURE, DFU_TARGET_SIGNATURE_SIZE);
  prefix[TARGET_ALTERNATE] = image.alternateSetting;
  PutLe32(prefix + TARGET_NAMED, static_cast<uint32_t>(image.isNamed));
  if (image.isNamed != 0) {
    // The field holds 255 bytes with the terminator: at most 254 characters.
    size_t length = 0;
    while (length < DFU_TARGET_NAME_SIZE - 1 && image.name[length] != '\0') ++length;
    std::memcpy(prefix + TARGET_NAME, image.name, length);
  }
  PutLe32(prefix + TARGET_ELEMENTS, elementCount);
  if (!file.Write(prefix, sizeof(prefix))) return false;

  uint64_t targetBytes = 0;
  for (uint32_t i = 0; i < elementCount; ++i) {
    const ImageElement* element = image.ElementAt(i);
    uint8_t header[DFU_ELEMENT_HEADER_SIZE];
    PutLe32(header, element->address);
    PutLe32(header + 4, element->size);
    if (!file.Write(header, sizeof(header))) return false;
    if (element->size != 0 && !file.Write(element->data, element->size)) return false;
    targetBytes += DFU_ELEMENT_HEADER_SIZE + element->size;
  }
  if (!file.Flush()) return false;

  // Now that the target's size is known, correct its prefix in place.
  PutLe32(prefix + TARGET_SIZE, static_cast<uint32_t>(targetBytes));
  const int64_t back = -static_cast<int64_t>(DFU_TARGET_PREFIX_SIZE + targetBytes);
  if (!file.Seek(back, Origin::kCurrent, nullptr) || !file.Write(prefix, sizeof(prefix)) ||
      !file.Flush()) {
    return false;
  }

  // The file prefix counts the new target and the bytes before the suffix.
  uint64_t imageSize = 0;
  uint8_t filePrefix[DFU_FILE_PREFIX_SIZE];
  size_t got = 0;
  if (!file.Seek(0, Origin::kEnd, &imageSize) || !file.Seek(0, Origin::kBegin, nullptr) ||
      !file.Read(filePrefix, sizeof(filePrefix), &got) || got != sizeof(filePrefix)) {
    return false;
  }
  filePrefix[10] = static_cast<uint8_t>(targetCount + 1);
  PutLe32(filePrefix + 6, static_cast<uint32_t>(imageSize));
  if (!file.Seek(0, Origin::kBegin, nullptr) || !file.Write(filePrefix, sizeof(filePrefix)) ||
      !file.Seek(0, Origin::kEnd, nullptr) || !file.Flush()) {
    return false;
  }

  if (WriteSuffix() != RESULT_OK) return false;
  ++targetCount;
  return true;
}

StatusCode CDFUFile::ReadImage(uint32_t index, std::unique_ptr<CImage>* image) {
  using Origin = PlatformFile::Origin;
  status = RESULT_OK;
  // The file length bounds every element size before a buffer is taken for
  // it, so a hostile size field cannot make us allocate gigabytes.
  uint64_t length = 0;
  uint64_t position = DFU_FILE_PREFIX_SIZE;
  if (!file.Seek(0, Origin::kEnd, &length) ||
      !file.Seek(static_cast<int64_t>(position), Origin::kBegin, nullptr)) {
    return status = FILE_ERR_IO;
  }

  uint8_t prefix[DFU_TARGET_PREFIX_SIZE];
  for (uint32_t target = 0;; ++target) {
    size_t got = 0;
    if (!file.Read(prefix, sizeof(prefix), &got)) return status = FILE_ERR_IO;
    if (got != sizeof(prefix) ||
        std::memcmp(prefix, DFU_TARGET_SIGNATURE, DFU_TARGET_SIGNATURE_SIZE) != 0) {
      return status = FILE_ERR_BAD_CONTENT;
    }
    position += got;
    if (target == index) break;
    if (!file.Seek(GetLe32(prefix + TARGET_SIZE), Origin::kCurrent, &position)) {
      return status = FILE_ERR_IO;
    }
  }

  try {
    // A name field without a terminator gives all of its 255 bytes.
    char nameText[DFU_TARGET_NAME_SIZE + 1] = {};
    std::memcpy(nameText, prefix + TARGET_NAME, DFU_TARGET_NAME_SIZE);
    auto result = std::make_unique<CImage>(prefix[TARGET_ALTERNATE], GetLe32(prefix + TARGET_NAMED),
                                           nameText);
    const uint32_t elementCount = GetLe32(prefix + TARGET_ELEMENTS);
    std::vector<uint8_t> data;
    for (uint32_t j = 0; j < elementCount; ++j) {
      uint8_t header[DFU_ELEMENT_HEADER_SIZE];
      size_t got = 0;
      if (!file.Read(header, sizeof(header), &got) || got != sizeof(header)) {
        return status = FILE_ERR_IO;
      }
      position += got;
      ImageElement element{GetLe32(header), GetLe32(header + 4), nullptr};
      if (element.size > length - std::min(length, position)) return status = FILE_ERR_IO;
      data.resize(element.size);
      if (!file.Read(data.data(), data.size(), &got) || got != data.size()) {
        return status = FILE_ERR_IO;
      }
      position += got;
      element.data = data.data();
      if (result->isValid == 0 || !result->SetElement(j, 1, element)) {
        return status = FILE_ERR_IO;
      }
    }
    *image = std::move(result);
  } catch (const std::bad_alloc&) {
    return status = FILE_ERR_IO;
  }
  return status;
}

// ---------------------------------------------------------------------------
// Handle operations

namespace {

// Runs a constructor and registers the object when it succeeded; a failed
// object is destroyed here, which closes its file.
StatusCode RegisterNewFile(const char* path, DfuFileMode mode, FileHandle* handle) {
  if (path == nullptr || handle == nullptr) return FILE_ERR_BAD_PARAMETER;
  try {
    auto object = std::make_unique<CDFUFile>(path, mode);
    if (object->status != RESULT_OK) return object->status;
    *handle = Registry().Register(std::move(object));
  } catch (const std::bad_alloc&) {
    return FILE_ERR_BAD_PARAMETER;
  }
  return RESULT_OK;
}

}  // namespace

StatusCode DfuFileOpen(const char* path, FileHandle* file, uint8_t* targetCount) {
  StatusCode result = RegisterNewFile(path, DfuFileMode::kOpen, file);
  if (result == RESULT_OK && targetCount != nullptr) *targetCount = (*file)->targetCount;
  return result;
}

StatusCode DfuFileCreate(const char* path, FileHandle* file) {
  return RegisterNewFile(path, DfuFileMode::kCreate, file);
}

StatusCode DfuFileReadImage(FileHandle file, uint32_t index, ImageHandle* image) {
  CDFUFile* source = Registry().Find(file);
  if (source == nullptr || image == nullptr) return FILE_ERR_BAD_PARAMETER;
  std::unique_ptr<CImage> result;
  StatusCode status = source->ReadImage(index, &result);
  if (status != RESULT_OK) return status;
  try {
    *image = RegisterImage(std::move(result));
  } catch (const std::bad_alloc&) {
    return FILE_ERR_BAD_PARAMETER;
  }
  return RESULT_OK;
}

StatusCode DfuFileAppendImage(FileHandle file, ImageHandle image) {
  CDFUFile* target = Registry().Find(file);
  const CImage* source = FindImage(image);
  if (target == nullptr || source == nullptr) return FILE_ERR_BAD_PARAMETER;
  return target->AppendImage(*source);
}

StatusCode DfuFileClose(FileHandle file) {
  CDFUFile* object = Registry().Find(file);
  if (object == nullptr) return OP_ERR_BAD_PARAMETER;
  const StatusCode closed = object->Close();
  Registry().Destroy(file);
  return closed;
}

void DfuFileDestroyAll() { Registry().DestroyAll(); }
