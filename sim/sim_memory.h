// The memory behind one alternate setting of the virtual device: the sectors
// its memory-map string declares, with flash semantics (erased cells read
// 0xFF, programming only clears bits) and the access bits of each sector.
#ifndef ZUVA_SIM_SIM_MEMORY_H_
#define ZUVA_SIM_SIM_MEMORY_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <set>
#include <string_view>
#include <vector>

// Access bits carried in the low three bits of a sector's type character.
constexpr uint8_t SIM_ACCESS_READ = 0x01;
constexpr uint8_t SIM_ACCESS_ERASE = 0x02;
constexpr uint8_t SIM_ACCESS_WRITE = 0x04;

struct SimSectorLayout {
  uint32_t address = 0;
  uint32_t size = 0;
  uint8_t access = 0;
};

// The sectors of a memory-map string "@name/address/count*size<unit><type>,...
// [/address/...]". False when the text declares no usable memory (no '@', no
// block, a malformed group); such an alternate setting is still published,
// with no memory behind it.
bool SimParseMemoryMap(std::string_view text, std::vector<SimSectorLayout>* sectors);

uint64_t SimMemoryMapSize(const std::vector<SimSectorLayout>& sectors);

enum class SimMemoryResult {
  kOk,
  kAddress,  // a byte lies outside every sector
  kAccess,   // a sector lacks the access bit the operation needs
  kVerify,   // programming needed a 0 turned into a 1
};

class CSimMemory {
 public:
  CSimMemory() = default;
  // Every sector starts with `fill` bytes.
  CSimMemory(std::vector<SimSectorLayout> layout, uint8_t fill);

  const std::vector<SimSectorLayout>& Layout() const { return layout_; }
  uint64_t Size() const { return size_; }
  bool Empty() const { return layout_.empty(); }
  // Address of the first sector, 0 without sectors.
  uint32_t BaseAddress() const { return layout_.empty() ? 0 : layout_.front().address; }

  // Erases the sector that holds `address`; *erasedBytes gets its size.
  SimMemoryResult EraseSector(uint32_t address, uint32_t* erasedBytes);
  // Erases every erasable sector; kAccess when none is.
  SimMemoryResult EraseAll(uint64_t* erasedBytes);
  // Programs `count` bytes at `address`. Nothing is written unless every byte
  // lies in a writable sector. A cell keeps the AND of old and new bytes;
  // kVerify when that differs from the new byte anywhere. A byte whose
  // address is in `badCells` is stored with its lowest bit flipped and does
  // not count as a difference.
  SimMemoryResult Program(uint32_t address, const uint8_t* data, size_t count,
                          const std::set<uint32_t>& badCells);
  // Reads up to `count` bytes from `address`, stopping at the first byte
  // outside every sector (*got tells how many). kAddress when the first byte
  // is outside, kAccess when a byte read lies in an unreadable sector.
  SimMemoryResult Read(uint32_t address, size_t count, uint8_t* out, size_t* got) const;

  // Every byte in map order, and the reverse, without access checks (the
  // flash file; tests).
  std::vector<uint8_t> Contents() const;
  // Loads at most Size() bytes from the start; false when `bytes` is longer.
  bool LoadContents(const std::vector<uint8_t>& bytes);
  // The memory as its flash file keeps it: every sector's bytes in map order.
  // Hands `write` each piece of the file that holds a byte of
  // [address, address + count), as (file offset, bytes, count), or every
  // sector (WriteAllPieces); stops at the first write that fails and returns
  // false. Sectors never written are handed over from a shared buffer of
  // their uniform value, so nothing as large as the memory is allocated.
  using PieceWriter = std::function<bool(uint64_t offset, const uint8_t* bytes, size_t count)>;
  bool WritePieces(uint32_t address, uint64_t count, const PieceWriter& write) const;
  bool WriteAllPieces(const PieceWriter& write) const;
  // Start and size of the sector holding `address`; false when none does.
  bool SectorHolding(uint32_t address, uint32_t* start, uint32_t* size) const;

  // Backdoor access for tests: false when a byte lies outside every sector.
  bool Peek(uint32_t address, size_t count, std::vector<uint8_t>* out) const;
  bool Poke(uint32_t address, const std::vector<uint8_t>& bytes);

 private:
  // The sector holding `address`, or -1.
  int Find(uint32_t address) const;
  // A sector's cells, made real on the first write.
  uint8_t* WritableCells(size_t index);
  uint8_t CellAt(size_t index, size_t offset) const;
  // Erased: every cell 0xFF, and no storage.
  void Blank(size_t index);
  // Hands over [from, from + count) of one sector (offsets in the sector).
  bool WriteSectorPiece(size_t index, uint32_t from, uint64_t count,
                        const PieceWriter& write) const;

  std::vector<SimSectorLayout> layout_;
  // Per sector: its cells, or none while every cell holds uniform_.
  std::vector<std::vector<uint8_t>> cells_;
  std::vector<uint8_t> uniform_;
  // Sector indices in address order (sectors never overlap).
  std::vector<size_t> byAddress_;
  // Per sector: where its bytes start in map order.
  std::vector<uint64_t> fileOffsets_;
  uint64_t size_ = 0;
};

#endif  // ZUVA_SIM_SIM_MEMORY_H_
