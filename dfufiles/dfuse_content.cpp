#include "dfufiles/dfuse_content.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

#include "dfufiles/dfu_file.h"
#include "dfufiles/dfu_suffix.h"
#include "dfufiles/firmware_data.h"
#include "protocol/byte_order.h"

namespace {

constexpr uint8_t DFUSE_VERSION = 1;
constexpr size_t DFUSE_MAX_TARGETS = 255;

void PutU32(std::vector<uint8_t>* out, uint32_t value) {
  out->resize(out->size() + 4);
  PutLe32(out->data() + out->size() - 4, value);
}
void SetU32(std::vector<uint8_t>* out, size_t at, uint32_t value) {
  PutLe32(out->data() + at, value);
}

StatusCode Refuse(std::string* error, const std::string& reason) {
  *error = reason;
  return FILE_ERR_BAD_CONTENT;
}

}  // namespace

StatusCode ParseDfuSe(const uint8_t* bytes, size_t size, DfuSeContent* content,
                      std::string* error) {
  *content = DfuSeContent{};
  if (size < DFU_FILE_PREFIX_SIZE + DFU_SUFFIX_SIZE) return Refuse(error, "file too short");
  if (std::memcmp(bytes, DFU_FILE_SIGNATURE, DFU_FILE_SIGNATURE_SIZE) != 0) {
    return Refuse(error, "no DfuSe signature");
  }
  if (bytes[5] != DFUSE_VERSION) return Refuse(error, "unknown DfuSe version");
  if (!ReadDfuSuffix(bytes, size, &content->suffix)) return Refuse(error, "no DFU suffix");
  content->imageSize = GetLe32(bytes + 6);

  const size_t bodyEnd = size - DFU_SUFFIX_SIZE;
  size_t at = DFU_FILE_PREFIX_SIZE;
  const size_t targetCount = bytes[10];
  for (size_t t = 0; t < targetCount; ++t) {
    const std::string which = "target " + std::to_string(t);
    if (bodyEnd - at < DFU_TARGET_PREFIX_SIZE) return Refuse(error, which + ": truncated prefix");
    const uint8_t* prefix = bytes + at;
    if (std::memcmp(prefix, DFU_TARGET_SIGNATURE, DFU_TARGET_SIGNATURE_SIZE) != 0) {
      return Refuse(error, which + ": no Target signature");
    }
    std::string name;
    const bool named = GetLe32(prefix + 7) != 0;
    if (named) {
      const char* text = reinterpret_cast<const char*>(prefix + 11);
      name.assign(text, strnlen(text, DFU_TARGET_NAME_SIZE));
    }
    CImage target(prefix[6], named ? 1 : 0, name.c_str());
    const uint64_t targetSize = GetLe32(prefix + 266);
    const uint32_t elementCount = GetLe32(prefix + 270);
    at += DFU_TARGET_PREFIX_SIZE;
    if (targetSize > bodyEnd - at) return Refuse(error, which + ": reaches past the suffix");
    const size_t targetEnd = at + static_cast<size_t>(targetSize);
    for (uint32_t e = 0; e < elementCount; ++e) {
      const std::string element = which + ", element " + std::to_string(e);
      if (targetEnd - at < DFU_ELEMENT_HEADER_SIZE) {
        return Refuse(error, element + ": outside its target");
      }
      const uint32_t address = GetLe32(bytes + at);
      const uint32_t length = GetLe32(bytes + at + 4);
      at += DFU_ELEMENT_HEADER_SIZE;
      if (length > targetEnd - at) return Refuse(error, element + ": outside its target");
      target.SetElement(target.ElementCount(), 1, RecordOver(address, {bytes + at, length}));
      at += length;
    }
    if (at != targetEnd) return Refuse(error, which + ": size disagrees with its elements");
    content->targets.push_back(std::move(target));
  }
  if (at != bodyEnd) return Refuse(error, "bytes after the last target");
  return RESULT_OK;
}

bool FindDfuSeOverlap(const DfuSeContent& content, std::string* error) {
  struct Extent {
    uint8_t alternate;
    uint32_t address;
    uint64_t end;
    size_t target;
    size_t element;
  };
  std::vector<Extent> extents;
  for (size_t t = 0; t < content.targets.size(); ++t) {
    const CImage& target = content.targets[t];
    for (uint32_t e = 0; e < target.ElementCount(); ++e) {
      const ImageElement& element = *target.ElementAt(e);
      if (element.size == 0) continue;
      extents.push_back({target.alternateSetting, element.address,
                         uint64_t{element.address} + element.size, t, e});
    }
  }
  std::stable_sort(extents.begin(), extents.end(), [](const Extent& a, const Extent& b) {
    return a.alternate != b.alternate ? a.alternate < b.alternate : a.address < b.address;
  });
  // In address order, as long as nothing overlaps, each extent reaches
  // further than every one before it: only the one before can overlap.
  const Extent* previous = nullptr;
  for (const Extent& extent : extents) {
    if (previous != nullptr && previous->alternate == extent.alternate &&
        extent.address < previous->end) {
      const auto later = [](const Extent& a, const Extent& b) {
        return a.target != b.target ? a.target > b.target : a.element > b.element;
      };
      const Extent& named = later(extent, *previous) ? extent : *previous;
      char text[128];
      std::snprintf(text, sizeof text,
                    "target %zu, element %zu: data overlaps earlier data for alternate setting "
                    "%u at 0x%08X",
                    named.target, named.element, named.alternate, extent.address);
      *error = text;
      return true;
    }
    previous = &extent;
  }
  return false;
}

StatusCode FormatDfuSe(const DfuSeContent& content, std::vector<uint8_t>* bytes) {
  if (content.targets.size() > DFUSE_MAX_TARGETS) return FILE_ERR_BAD_PARAMETER;
  std::vector<uint8_t> out(DFU_FILE_SIGNATURE, DFU_FILE_SIGNATURE + DFU_FILE_SIGNATURE_SIZE);
  out.push_back(DFUSE_VERSION);
  PutU32(&out, 0);  // the size, once known
  out.push_back(static_cast<uint8_t>(content.targets.size()));
  for (const CImage& target : content.targets) {
    const size_t prefixAt = out.size();
    out.insert(out.end(), DFU_TARGET_SIGNATURE, DFU_TARGET_SIGNATURE + DFU_TARGET_SIGNATURE_SIZE);
    out.push_back(target.alternateSetting);
    PutU32(&out, target.isNamed != 0 ? 1 : 0);
    char name[DFU_TARGET_NAME_SIZE] = {};
    if (target.isNamed != 0) {
      std::memcpy(name, target.name, strnlen(target.name, DFU_TARGET_NAME_SIZE - 1));
    }
    out.insert(out.end(), name, name + DFU_TARGET_NAME_SIZE);
    PutU32(&out, 0);  // the target size, once known
    PutU32(&out, target.ElementCount());
    uint64_t targetSize = 0;
    for (uint32_t e = 0; e < target.ElementCount(); ++e) {
      const ImageElement& element = *target.ElementAt(e);
      PutU32(&out, element.address);
      PutU32(&out, element.size);
      if (element.size != 0) out.insert(out.end(), element.data, element.data + element.size);
      targetSize += DFU_ELEMENT_HEADER_SIZE + uint64_t{element.size};
    }
    if (targetSize > UINT32_MAX) return FILE_ERR_BAD_PARAMETER;
    SetU32(&out, prefixAt + 266, static_cast<uint32_t>(targetSize));
  }
  if (out.size() > UINT32_MAX - DFU_SUFFIX_SIZE) return FILE_ERR_BAD_PARAMETER;
  SetU32(&out, 6, static_cast<uint32_t>(out.size()));
  AppendDfuSuffix(content.suffix, &out);
  *bytes = std::move(out);
  return RESULT_OK;
}

StatusCode FormatDfuSeHead(const CImage& target, uint32_t address, uint32_t size, std::vector<uint8_t>* bytes) {
  // The file with the element empty, without its suffix; then the sizes
  // that the element's bytes add to: the file's, the target's and its own.
  DfuSeContent content;
  CImage& only = content.targets.emplace_back(target.alternateSetting, target.isNamed, target.name);
  const ImageElement empty{address, 0, nullptr};
  only.SetElement(0, 1, empty);
  std::vector<uint8_t> out;
  if (FormatDfuSe(content, &out) != RESULT_OK) return FILE_ERR_BAD_PARAMETER;
  out.resize(out.size() - DFU_SUFFIX_SIZE);
  if (out.size() + uint64_t{size} > UINT32_MAX - DFU_SUFFIX_SIZE) return FILE_ERR_BAD_PARAMETER;
  constexpr size_t TARGET_SIZE_AT = 11 + 266;
  SetU32(&out, 6, static_cast<uint32_t>(out.size() + size));
  SetU32(&out, TARGET_SIZE_AT, static_cast<uint32_t>(DFU_ELEMENT_HEADER_SIZE + size));
  SetU32(&out, out.size() - 4, size);
  *bytes = std::move(out);
  return RESULT_OK;
}
