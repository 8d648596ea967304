// The flash file of a virtual device: the memory of alternate setting 0 on
// disk, as the bytes of its sectors in map order. It behaves like the
// device's own memory: every erase and every programmed block reaches the
// file as it happens, written in place, so a process that is killed leaves
// what the device would hold; and the file is locked while the device
// exists, so two devices (in one process or two) never share it.
#ifndef ZUVA_SIM_FLASH_FILE_H_
#define ZUVA_SIM_FLASH_FILE_H_

#include <cstdint>
#include <string>

#include "platform/files.h"
#include "sim/sim_memory.h"

class CSimFlashFile {
 public:
  // Opens and locks the file at `path`, creating it when it is missing. An
  // existing file's bytes are loaded into `memory` (a shorter file leaves
  // the rest blank); a missing one keeps what `memory` holds (old firmware).
  // The whole memory is then written, so that the file holds exactly what
  // the device holds from the start. False with *error, and no file held,
  // when the file is locked by another holder, is no regular file, is longer
  // than the memory, or cannot be read or written.
  bool Open(const std::string& path, CSimMemory* memory, std::string* error);
  bool IsOpen() const { return file_.IsOpen(); }

  // Writes the bytes of [address, address + count), or of the sector that
  // holds `address`, or of the whole memory, where they lie in the file.
  // False when a write fails.
  bool Store(const CSimMemory& memory, uint32_t address, uint64_t count);
  bool StoreSector(const CSimMemory& memory, uint32_t address);
  bool StoreAll(const CSimMemory& memory);

 private:
  bool WriteAt(uint64_t offset, const uint8_t* bytes, size_t count);

  PlatformFile file_;
};

#endif  // ZUVA_SIM_FLASH_FILE_H_
