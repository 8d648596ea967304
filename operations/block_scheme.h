// How an operation's blocks travel: which number the wire carries for the
// record's blockNumber, where a data block lies in its element, what follows
// an upload block and what a short one means, and which status request the
// operation uses. Each operation chooses its scheme once, when it is
// constructed; the transfer itself is the same for all of them.
#ifndef ZUVA_OPERATIONS_BLOCK_SCHEME_H_
#define ZUVA_OPERATIONS_BLOCK_SCHEME_H_

#include <cstdint>

struct BlockScheme {
  enum class Numbering : uint8_t {
    // Data blocks 2 to 0xFFFF within the current address-pointer chunk,
    // block n at (chunk's first block + n - 2) x blockSize in the element;
    // block 0 carries the DfuSe commands and block 1 nothing. The record
    // keeps the wire number once a request is sent.
    kDfuSe,
    // The element's blocks counted from 0 on past 0xFFFF: the wire carries
    // the low 16 bits, so the numbers wrap while the offset goes on. No
    // commands.
    kPlain,
  };
  enum class UploadPace : uint8_t {
    // A status request follows every upload block; the device must return
    // the whole block, and one that comes back short is asked for again.
    kStatusEachBlock,
    // No status request between upload blocks, as the state diagram allows
    // (some device stacks answer dfuIDLE after a full block): the record
    // holds the state the diagram gives. A short block means the device
    // ended its memory inside the range asked for: the read fails with
    // OP_ERR_UPLOAD_ENDED_EARLY.
    kStreamShortFails,
    // As kStreamShortFails, but a short block ends the device's memory, and
    // the read with it.
    kStreamShortEnds,
  };

  Numbering numbering;
  UploadPace upload;
  // Status requests leave the device open through manifestation, which the
  // operation then follows itself.
  bool statusKeepsDevice;
  // The largest block the operation sends or asks for.
  uint16_t maxBlockSize;

  bool CarriesCommands() const { return numbering == Numbering::kDfuSe; }
  // The number the wire carries for the record's blockNumber.
  static uint16_t WireNumber(uint32_t blockNumber) { return static_cast<uint16_t>(blockNumber); }
  // The record's blockNumber names a data block, not a command's block 0 or
  // the empty block 1.
  bool IsDataBlock(uint32_t blockNumber) const {
    return numbering == Numbering::kPlain || WireNumber(blockNumber) >= 2;
  }
  // Where the data block at the record's blockNumber lies in its element;
  // chunkFirstBlock counts the DfuSe blocks before the current chunk.
  uint64_t Offset(uint32_t blockNumber, uint32_t chunkFirstBlock, uint32_t blockSize) const {
    if (numbering == Numbering::kPlain) return uint64_t{blockNumber} * blockSize;
    return (uint64_t{chunkFirstBlock} + WireNumber(blockNumber) - 2) * blockSize;
  }
  // The record's blockNumber once the request has gone.
  uint32_t RecordedNumber(uint32_t blockNumber) const {
    return numbering == Numbering::kPlain ? blockNumber : WireNumber(blockNumber);
  }
  bool StatusAfterUploadBlock() const { return upload == UploadPace::kStatusEachBlock; }
  bool ShortUploadEnds() const { return upload == UploadPace::kStreamShortEnds; }
};

// WinUSB refuses a control transfer whose data stage is longer than 4096
// bytes (Linux's usbfs has the same limit), so no block carries more.
// Plain DFU numbers its blocks and leaves their size to the host, so a
// device that announces more gets blocks of 4096. A DfuSe device places
// block n at the pointer plus (n - 2) x its own transfer size: one that
// announces more gets blocks of 4096 too, each after its own address
// pointer (see CDFUThread::blocksPerPointer).
constexpr uint16_t CONTROL_MAX_BLOCK_SIZE = 4096;
constexpr uint16_t PLAIN_DFU_MAX_BLOCK_SIZE = CONTROL_MAX_BLOCK_SIZE;

constexpr BlockScheme DFUSE_BLOCKS{BlockScheme::Numbering::kDfuSe, BlockScheme::UploadPace::kStatusEachBlock,
                                   false, CONTROL_MAX_BLOCK_SIZE};
// The DfuSe upload of a tolerant read (the record's tolerantUpload).
constexpr BlockScheme DFUSE_TOLERANT_UPLOAD_BLOCKS{BlockScheme::Numbering::kDfuSe,
                                                   BlockScheme::UploadPace::kStreamShortFails, false,
                                                   CONTROL_MAX_BLOCK_SIZE};
constexpr BlockScheme PLAIN_DFU_BLOCKS{BlockScheme::Numbering::kPlain, BlockScheme::UploadPace::kStreamShortEnds,
                                       true, PLAIN_DFU_MAX_BLOCK_SIZE};

#endif  // ZUVA_OPERATIONS_BLOCK_SCHEME_H_
