#include "dfufiles/firmware_file.h"

#include <cstring>
#include <string_view>

#include "dfufiles/dfu_file.h"
#include "dfufiles/elf_image.h"
#include "dfufiles/intel_hex.h"
#include "dfufiles/srec.h"
#include "platform/files.h"

namespace {

// The first byte that is not white space; text formats may begin with blank
// lines.
size_t FirstVisible(const uint8_t* bytes, size_t size) {
  size_t i = 0;
  while (i < size &&
         (bytes[i] == ' ' || bytes[i] == '\t' || bytes[i] == '\r' || bytes[i] == '\n')) {
    ++i;
  }
  return i;
}

std::string SystemError(const char* what, const std::string& path, uint32_t code) {
  const std::string words = PlatformErrorText(code);
  return std::string(what) + " " + path + " (" + (words.empty() ? "" : words + ", ") + "system error " +
         std::to_string(code) + ")";
}

}  // namespace

bool NameEndsWith(const std::string& name, std::string_view tail) {
  if (name.size() < tail.size()) return false;
  for (size_t i = 0; i < tail.size(); ++i) {
    char c = name[name.size() - tail.size() + i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != tail[i]) return false;
  }
  return true;
}

const char* FirmwareFormatName(FirmwareFormat format) {
  switch (format) {
    case FirmwareFormat::kDfuSe:
      return "dfuse";
    case FirmwareFormat::kPlainDfu:
      return "dfu";
    case FirmwareFormat::kIntelHex:
      return "ihex";
    case FirmwareFormat::kSrec:
      return "srec";
    case FirmwareFormat::kElf:
      return "elf";
    case FirmwareFormat::kRaw:
      break;
  }
  return "raw";
}

FirmwareFormat DetectFirmwareFormat(const std::string& name, const uint8_t* bytes, size_t size) {
  if (NameEndsWith(name, ".bin")) return FirmwareFormat::kRaw;
  if (size >= 5 && std::memcmp(bytes, "DfuSe", 5) == 0) return FirmwareFormat::kDfuSe;
  if (HasPlainDfuSuffix(bytes, size)) return FirmwareFormat::kPlainDfu;
  if (size >= 4 && std::memcmp(bytes,
                               "\x7F"
                               "ELF",
                               4) == 0)
    return FirmwareFormat::kElf;
  const size_t first = FirstVisible(bytes, size);
  if (first < size && bytes[first] == ':') return FirmwareFormat::kIntelHex;
  if (first + 1 < size && bytes[first] == 'S' && bytes[first + 1] >= '0' &&
      bytes[first + 1] <= '9') {
    return FirmwareFormat::kSrec;
  }
  return FirmwareFormat::kRaw;
}

StatusCode ReadWholeFile(const std::string& path, std::vector<uint8_t>* bytes, std::string* error) {
  PlatformFile file;
  // Several processes may flash the same image at once (one per board on a
  // bench); a writer still keeps them out, and they keep it out.
  const uint32_t opened = file.Open(path, PlatformFile::Mode::kReadAmongReaders);
  if (opened != 0) {
    *error = PlatformPathExists(path) ? SystemError("cannot open", path, opened)
                                      : "no such file: " + path;
    return FILE_ERR_IO;
  }
  uint64_t length = 0;
  if (!file.Seek(0, PlatformFile::Origin::kEnd, &length) ||
      !file.Seek(0, PlatformFile::Origin::kBegin, nullptr)) {
    *error = SystemError("cannot read", path, file.LastError());
    return FILE_ERR_IO;
  }
  if (length > FIRMWARE_FILE_MAX_SIZE) {
    *error = "file too large: " + path;
    return FILE_ERR_IO;
  }
  bytes->assign(static_cast<size_t>(length), 0);
  size_t got = 0;
  if (length != 0 && (!file.Read(bytes->data(), bytes->size(), &got) || got != bytes->size())) {
    *error = SystemError("cannot read", path, file.LastError());
    return FILE_ERR_IO;
  }
  return RESULT_OK;
}

StatusCode WriteWholeFile(const std::string& path, const std::vector<uint8_t>& bytes,
                          std::string* error) {
  CWholeFileWriter writer;
  const StatusCode begun = writer.Begin(path, error);
  return begun != RESULT_OK ? begun : writer.Finish(bytes, error);
}

StatusCode CWholeFileWriter::Begin(const std::string& path, std::string* error) {
  path_ = path;
  const uint32_t opened = file_.Open(path, PlatformFile::Mode::kCreateReplacement);
  if (opened != 0) {
    *error = SystemError("cannot create", path, opened);
    return FILE_ERR_IO;
  }
  return RESULT_OK;
}

StatusCode CWholeFileWriter::Write(const uint8_t* bytes, size_t size, std::string* error) {
  if (size != 0 && !file_.Write(bytes, size)) {
    *error = SystemError("cannot write", path_, file_.LastError());
    file_.Close();  // the old file stays
    return FILE_ERR_IO;
  }
  return RESULT_OK;
}

StatusCode CWholeFileWriter::Finish(const std::vector<uint8_t>& bytes, std::string* error) {
  if (Write(bytes.data(), bytes.size(), error) != RESULT_OK) return FILE_ERR_IO;
  const uint32_t committed = file_.CommitReplacement();
  if (committed != 0) {
    *error = SystemError("cannot write", path_, committed);
    return FILE_ERR_IO;
  }
  return RESULT_OK;
}

StatusCode DecodeFirmware(const std::string& name, const uint8_t* bytes, size_t size,
                          FirmwareFile* file, std::string* error) {
  *file = FirmwareFile{};
  file->format = DetectFirmwareFormat(name, bytes, size);
  const std::string_view text(reinterpret_cast<const char*>(bytes), size);
  switch (file->format) {
    case FirmwareFormat::kDfuSe:
      return ParseDfuSe(bytes, size, &file->dfuse, error);
    case FirmwareFormat::kElf:
      return ParseElf(bytes, size, &file->image, error);
    case FirmwareFormat::kIntelHex:
      return ParseIntelHex(text, &file->image, error);
    case FirmwareFormat::kSrec:
      return ParseSrec(text, &file->image, error);
    case FirmwareFormat::kPlainDfu:
      ReadDfuSuffix(bytes, size, &file->suffix);
      size -= DFU_SUFFIX_SIZE;
      break;
    case FirmwareFormat::kRaw:
      if (NameEndsWith(name, ".bin")) break;
      file->unreadSuffix = UnusableDfuSuffix(bytes, size);
      if (file->unreadSuffix.empty() && NameEndsWith(name, ".dfu")) {
        file->unreadSuffix = "its name ends in .dfu, but it has no DFU suffix (cut short or damaged?)";
      }
      break;
  }
  if (size == 0) {
    *error = "the file is empty";
    return FILE_ERR_BAD_CONTENT;
  }
  file->raw.assign(bytes, bytes + size);
  return RESULT_OK;
}

StatusCode LoadFirmwareFile(const std::string& path, FirmwareFile* file, std::string* error) {
  std::vector<uint8_t> bytes;
  const StatusCode read = ReadWholeFile(path, &bytes, error);
  if (read != RESULT_OK) return read;
  return DecodeFirmware(path, bytes.data(), bytes.size(), file, error);
}
