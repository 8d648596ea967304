// Reader and writer of DfuSe files: an 11-byte prefix, one target per image,
// and the 16-byte DFU suffix whose CRC covers everything before it. Callers
// outside this layer reach a CDFUFile through a file handle that is checked
// against the file registry.
#ifndef ZUVA_DFUFILES_DFU_FILE_H_
#define ZUVA_DFUFILES_DFU_FILE_H_

#include <cstdint>
#include <memory>
#include <string>

#include "common/cobject.h"
#include "common/status_code.h"
#include "dfufiles/image.h"
#include "platform/files.h"

constexpr size_t DFU_FILE_PREFIX_SIZE = 11;
constexpr size_t DFU_TARGET_PREFIX_SIZE = 274;
constexpr size_t DFU_TARGET_NAME_SIZE = 255;
constexpr size_t DFU_ELEMENT_HEADER_SIZE = 8;
constexpr size_t DFU_SUFFIX_SIZE = 16;
// The signatures that open the file and each target, and the one in the
// suffix ("UFD" is "DFU" backwards: the suffix is laid out from its end).
constexpr char DFU_FILE_SIGNATURE[] = "DfuSe";
constexpr size_t DFU_FILE_SIGNATURE_SIZE = 5;
constexpr char DFU_TARGET_SIGNATURE[] = "Target";
constexpr size_t DFU_TARGET_SIGNATURE_SIZE = 6;
constexpr uint8_t DFU_SUFFIX_SIGNATURE[3] = {'U', 'F', 'D'};
// Suffix identity of a file that this program creates.
constexpr uint16_t DFU_FILE_VENDOR_ID = 0x0483;
constexpr uint16_t DFU_FILE_PRODUCT_ID = 0xDF11;
constexpr uint16_t DFU_FILE_DEVICE_VERSION = 0x2200;
constexpr uint16_t DFU_FILE_DFU_RELEASE = 0x011A;

enum class DfuFileMode {
  kOpen,    // existing file, read only, checked on opening
  kCreate,  // new file holding a prefix and a suffix, in place of any old one
            // once closed complete
};

class CDFUFile : public CObject {
 public:
  // Leaves the outcome in `status`: RESULT_OK with the file open, or the
  // failure (the operating system's error number when the file itself
  // cannot be opened or created) with the file closed.
  CDFUFile(const std::string& path, DfuFileMode mode);
  ~CDFUFile() override;  // closes the file

  // Reads target `index` (counted from 0, skipping earlier targets by their
  // size field) into a new image that belongs to the caller.
  StatusCode ReadImage(uint32_t index, std::unique_ptr<CImage>* image);
  // Appends the image as a new target and rewrites prefix and suffix.
  StatusCode AppendImage(const CImage& image);
  // Writes the suffix at the current position, then its CRC.
  StatusCode WriteSuffix();
  // Ends the work on the file. A created file is written beside its path
  // and takes the path's place only here, and only when it is complete
  // (`status` RESULT_OK): until then the path keeps what it held, and a
  // file whose append failed never reaches it. RESULT_OK, or FILE_ERR_IO
  // when the complete file could not be put in place.
  StatusCode Close();
  // The checksum of the file on disk without its last four bytes; false on a
  // file failure.
  bool ComputeCrc(uint32_t* crc);

  uint16_t vendorId = 0;
  uint16_t productId = 0;
  uint16_t deviceVersion = 0;
  uint8_t targetCount = 0;
  StatusCode status = RESULT_OK;

 private:
  void OpenExisting(const std::string& path);
  void CreateNew(const std::string& path);
  bool CheckOpenedFile();
  bool AppendTarget(const CImage& image);

  PlatformFile file;
  bool created_ = false;
};

// A file handle is the CDFUFile's own address; it is valid while the file is
// in the file registry.
using FileHandle = CDFUFile*;

// Opens and checks an existing DfuSe file; gives its handle and its number of
// targets.
StatusCode DfuFileOpen(const char* path, FileHandle* file, uint8_t* targetCount);
// Creates a DfuSe file without targets (27 bytes).
StatusCode DfuFileCreate(const char* path, FileHandle* file);
// Reads target `index` into a new registered image. FILE_ERR_BAD_PARAMETER for
// an unregistered file handle.
StatusCode DfuFileReadImage(FileHandle file, uint32_t index, ImageHandle* image);
// Appends a registered image as a new target. FILE_ERR_BAD_PARAMETER for an
// unregistered file or image handle.
StatusCode DfuFileAppendImage(FileHandle file, ImageHandle image);
// Closes the file (CDFUFile::Close: a created file takes its path's place
// now) and unregisters it; OP_ERR_BAD_PARAMETER for an unregistered handle,
// FILE_ERR_IO when a created file could not be put in place. The caller's
// handle variable is left as it is.
StatusCode DfuFileClose(FileHandle file);

// Program clean-up: destroys every registered file in registry order and
// empties the registry.
void DfuFileDestroyAll();

#endif  // ZUVA_DFUFILES_DFU_FILE_H_
