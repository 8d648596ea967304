#include "sim/flash_file.h"

#include <algorithm>
#include <new>
#include <vector>

bool CSimFlashFile::Open(const std::string& path, CSimMemory* memory, std::string* error) {
  const std::string named = "virtual device flash file '" + path + "'";
  const bool existed = PlatformPathExists(path);
  const uint32_t openError = file_.Open(path, PlatformFile::Mode::kOpenAlwaysReadWrite);
  if (openError != 0) {
    *error = named + (openError == PLATFORM_ERROR_IN_USE
                          ? " is in use by another virtual device"
                          : " cannot be opened (error " + std::to_string(openError) + ")");
    return false;
  }
  const uint64_t limit = memory->Size();
  bool loaded = true;
  if (existed) {
    try {
      // One byte more than the memory holds tells a longer file.
      std::vector<uint8_t> bytes;
      uint8_t buffer[65536];
      size_t got = sizeof buffer;
      while (got == sizeof buffer && bytes.size() <= limit && loaded) {
        loaded = file_.Read(buffer, sizeof buffer, &got);
        if (loaded) bytes.insert(bytes.end(), buffer, buffer + got);
      }
      if (!loaded) {
        *error = named + " cannot be read (error " + std::to_string(file_.LastError()) + ")";
      } else if (bytes.size() > limit) {
        // A longer file would lose its tail to the first write.
        *error = named + " is longer than the " + std::to_string(limit) + " bytes of the memory";
        loaded = false;
      } else {
        // A shorter file leaves the rest of the memory blank.
        bytes.resize(static_cast<size_t>(limit), 0xFF);
        memory->LoadContents(bytes);
      }
    } catch (const std::bad_alloc&) {
      *error = named + " does not fit in memory";
      loaded = false;
    }
  }
  if (loaded && !StoreAll(*memory)) {
    *error = named + " cannot be written (error " + std::to_string(file_.LastError()) + ")";
    loaded = false;
  }
  if (!loaded) file_.Close();
  return loaded;
}

bool CSimFlashFile::WriteAt(uint64_t offset, const uint8_t* bytes, size_t count) {
  return file_.Seek(static_cast<int64_t>(offset), PlatformFile::Origin::kBegin, nullptr) &&
         file_.Write(bytes, count);
}

bool CSimFlashFile::Store(const CSimMemory& memory, uint32_t address, uint64_t count) {
  if (!IsOpen()) return true;
  return memory.WritePieces(address, count, [this](uint64_t offset, const uint8_t* bytes,
                                                   size_t n) { return WriteAt(offset, bytes, n); });
}

bool CSimFlashFile::StoreSector(const CSimMemory& memory, uint32_t address) {
  uint32_t start = 0;
  uint32_t size = 0;
  if (!memory.SectorHolding(address, &start, &size)) return true;
  return Store(memory, start, size);
}

bool CSimFlashFile::StoreAll(const CSimMemory& memory) {
  if (!IsOpen()) return true;
  return memory.WriteAllPieces([this](uint64_t offset, const uint8_t* bytes, size_t n) {
    return WriteAt(offset, bytes, n);
  });
}
