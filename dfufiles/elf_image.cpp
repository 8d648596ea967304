#include "dfufiles/elf_image.h"

namespace {

constexpr uint8_t ELF_MAGIC[4] = {0x7F, 'E', 'L', 'F'};
constexpr uint8_t ELF_CLASS_32 = 1;
constexpr uint8_t ELF_CLASS_64 = 2;
constexpr uint8_t ELF_DATA_LITTLE = 1;
constexpr uint8_t ELF_DATA_BIG = 2;
constexpr uint32_t ELF_PT_LOAD = 1;
constexpr size_t ELF_HEADER_SIZE_32 = 52;
constexpr size_t ELF_HEADER_SIZE_64 = 64;
constexpr size_t ELF_PHDR_SIZE_32 = 32;
constexpr size_t ELF_PHDR_SIZE_64 = 56;

// Field reader over the file in its own byte order; every read is checked
// against the file's end by the caller first.
struct ElfReader {
  const uint8_t* bytes;
  bool big;

  uint64_t Get(size_t offset, size_t width) const {
    uint64_t value = 0;
    for (size_t i = 0; i < width; ++i) {
      const uint8_t byte = bytes[offset + (big ? i : width - 1 - i)];
      value = (value << 8) | byte;
    }
    return value;
  }
};

// Offsets of the fields that the reader needs, by class.
struct ElfLayout {
  size_t headerSize, entry, phoff, phentsize, phnum, word;
  size_t phdrSize, pType, pOffset, pPaddr, pFilesz;
};
constexpr ElfLayout ELF_LAYOUT_32 = {ELF_HEADER_SIZE_32, 24, 28, 42, 44, 4,
                                     ELF_PHDR_SIZE_32,   0,  4,  12, 16};
constexpr ElfLayout ELF_LAYOUT_64 = {ELF_HEADER_SIZE_64, 24, 32, 54, 56, 8,
                                     ELF_PHDR_SIZE_64,   0,  8,  24, 32};

StatusCode Refuse(std::string* error, const char* reason) {
  *error = reason;
  return FILE_ERR_BAD_CONTENT;
}

}  // namespace

StatusCode ParseElf(const uint8_t* bytes, size_t size, FirmwareImage* image, std::string* error) {
  *image = FirmwareImage{};
  if (size < 16 || bytes[0] != ELF_MAGIC[0] || bytes[1] != ELF_MAGIC[1] ||
      bytes[2] != ELF_MAGIC[2] || bytes[3] != ELF_MAGIC[3]) {
    return Refuse(error, "not an ELF file");
  }
  if (bytes[4] != ELF_CLASS_32 && bytes[4] != ELF_CLASS_64) {
    return Refuse(error, "unknown ELF class");
  }
  if (bytes[5] != ELF_DATA_LITTLE && bytes[5] != ELF_DATA_BIG) {
    return Refuse(error, "unknown ELF byte order");
  }
  const ElfLayout& layout = bytes[4] == ELF_CLASS_32 ? ELF_LAYOUT_32 : ELF_LAYOUT_64;
  if (size < layout.headerSize) return Refuse(error, "truncated ELF header");
  const ElfReader in{bytes, bytes[5] == ELF_DATA_BIG};

  const uint64_t entry = in.Get(layout.entry, layout.word);
  const uint64_t phoff = in.Get(layout.phoff, layout.word);
  const uint64_t phentsize = in.Get(layout.phentsize, 2);
  const uint64_t phnum = in.Get(layout.phnum, 2);
  if (phnum == 0) return Refuse(error, "no program headers");
  if (phentsize < layout.phdrSize) return Refuse(error, "program header entries too small");
  // phentsize and phnum are 16-bit, so the table size cannot overflow.
  if (phoff > size || phentsize * phnum > size - phoff) {
    return Refuse(error, "program header table outside the file");
  }

  CFirmwareBuilder builder("segment");
  for (uint64_t i = 0; i < phnum; ++i) {
    const size_t header = static_cast<size_t>(phoff + i * phentsize);
    if (in.Get(header + layout.pType, 4) != ELF_PT_LOAD) continue;
    const uint64_t offset = in.Get(header + layout.pOffset, layout.word);
    const uint64_t paddr = in.Get(header + layout.pPaddr, layout.word);
    const uint64_t filesz = in.Get(header + layout.pFilesz, layout.word);
    if (filesz == 0) continue;
    if (offset > size || filesz > size - offset) return Refuse(error, "segment outside the file");
    if (!builder.Add(paddr, bytes + offset, static_cast<size_t>(filesz), i, error)) {
      return FILE_ERR_BAD_CONTENT;
    }
  }
  if (!builder.Take(&image->data, error)) return FILE_ERR_BAD_CONTENT;
  if (image->data.ElementCount() == 0) return Refuse(error, "no loadable segment holds data");
  if (entry <= UINT32_MAX) {
    image->hasEntry = true;
    image->entry = static_cast<uint32_t>(entry);
  }
  return RESULT_OK;
}
