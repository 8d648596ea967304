#include "tool/read_back_file.h"

#include "dfufiles/dfu_suffix.h"
#include "dfufiles/dfuse_content.h"
#include "dfufiles/intel_hex.h"
#include "dfufiles/sector_geometry.h"
#include "tool/output_format.h"

namespace {

// The bytes of [start, start + length) that the elements hold, 0xFF
// elsewhere.
std::vector<uint8_t> RawBytes(const std::vector<ImageElement>& elements, uint32_t start,
                              uint32_t length) {
  std::vector<uint8_t> bytes(length, 0xFF);
  LayElements(elements, start, bytes);
  return bytes;
}

}  // namespace

bool FinishReadBackFile(const std::string& path, const DfuDeviceInfo& device, const ReadBack& read,
                        CWholeFileWriter* output, std::string* error) {
  std::vector<uint8_t> bytes;
  switch (OutputFormatOfName(path)) {
    case OutputFormat::kDfu:
      if (read.dfuse) {
        DfuSeContent content;
        content.suffix.vendorId = device.vendorId;
        content.suffix.productId = device.productId;
        content.suffix.deviceVersion = device.deviceVersion;
        CImage& target = content.targets.emplace_back(read.alternate, 1, read.memoryName.c_str());
        for (const ImageElement& element : read.elements) {
          target.SetElement(target.ElementCount(), 1, element);
        }
        if (FormatDfuSe(content, &bytes) != RESULT_OK) {
          *error = "cannot format";
          return false;
        }
      } else {
        bytes = RawBytes(read.elements, read.start, read.length);
        DfuSuffix suffix;
        suffix.vendorId = device.vendorId;
        suffix.productId = device.productId;
        suffix.deviceVersion = device.deviceVersion;
        AppendDfuSuffix(suffix, &bytes);
      }
      break;
    case OutputFormat::kIntelHex: {
      const std::string text = FormatIntelHex(read.elements);
      bytes.assign(text.begin(), text.end());
      break;
    }
    default:
      bytes = RawBytes(read.elements, read.start, read.length);
  }
  return output->Finish(bytes, error) == RESULT_OK;
}
