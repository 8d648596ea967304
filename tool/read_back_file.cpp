#include "tool/read_back_file.h"

#include "dfufiles/dfu_crc.h"
#include "dfufiles/dfu_suffix.h"
#include "dfufiles/dfuse_content.h"
#include "dfufiles/sector_geometry.h"

bool CReadBackWriter::Begin(const std::string& path, const DfuDeviceInfo& device, const ReadBack& read,
                            CWholeFileWriter* output, std::string* error) {
  output_ = output;
  format_ = OutputFormatOfName(path);
  suffixed_ = format_ == OutputFormat::kDfu;
  crc_ = DFU_CRC_INITIAL;
  hex_ = CIntelHexText();
  suffix_ = DfuSuffix{};
  suffix_.vendorId = device.vendorId;
  suffix_.productId = device.productId;
  suffix_.deviceVersion = device.deviceVersion;
  if (!suffixed_ || !read.dfuse) return true;
  suffix_.dfuVersion = DFU_SUFFIX_DFUSE_VERSION;
  const CImage target(read.alternate, 1, read.memoryName.c_str());
  std::vector<uint8_t> head;
  if (FormatDfuSeHead(target, read.start, read.length, &head) != RESULT_OK) {
    *error = "cannot format: " + std::to_string(read.length) + " bytes do not fit in a DfuSe file";
    return false;
  }
  return Put(head.data(), head.size(), error);
}

bool CReadBackWriter::Put(const uint8_t* bytes, size_t size, std::string* error) {
  if (suffixed_) crc_ = UpdateDfuCrc(crc_, bytes, size);
  return output_->Write(bytes, size, error) == RESULT_OK;
}

bool CReadBackWriter::Add(std::span<const ImageElement> elements, uint32_t start, uint32_t length,
                          std::string* error) {
  if (format_ == OutputFormat::kIntelHex) {
    const std::string text = hex_.Add(elements);
    return Put(reinterpret_cast<const uint8_t*>(text.data()), text.size(), error);
  }
  std::vector<uint8_t> bytes(length, 0xFF);
  LayElements(elements, start, bytes);
  return Put(bytes.data(), bytes.size(), error);
}

bool CReadBackWriter::Finish(std::string* error) {
  std::vector<uint8_t> tail;
  if (format_ == OutputFormat::kIntelHex) {
    const std::string text = hex_.End();
    tail.assign(text.begin(), text.end());
  } else if (suffixed_) {
    tail = DfuSuffixAfter(suffix_, crc_);
  }
  return output_->Finish(tail, error) == RESULT_OK;
}

bool FinishReadBackFile(const std::string& path, const DfuDeviceInfo& device, const ReadBack& read,
                        CWholeFileWriter* output, std::string* error) {
  CReadBackWriter writer;
  return writer.Begin(path, device, read, output, error) &&
         writer.Add(read.elements, read.start, read.length, error) && writer.Finish(error);
}
