// An append that lands whole or not at all. A write that the disk takes only
// in part (a full disk, a file size limit) would leave the start of a line
// at the end of a record, and the next line would be joined to it: the part
// is cut off again, so that the file ends where it ended before.
#ifndef ZUVA_PLATFORM_WHOLE_APPEND_H_
#define ZUVA_PLATFORM_WHOLE_APPEND_H_

#include <cstddef>
#include <cstdint>

// What the append asks of a file, each step 0 or the system's error number.
// The caller holds the appenders' turn on the file throughout, so that its
// end moves only by this append's writes.
class WholeAppendSteps {
 public:
  virtual ~WholeAppendSteps() = default;
  virtual uint32_t Length(uint64_t* length) = 0;
  // One write at the end of the file; *written is what it took, also when
  // it fails after taking some.
  virtual uint32_t WriteAtEnd(const uint8_t* data, size_t count, size_t* written) = 0;
  virtual uint32_t CutTo(uint64_t length) = 0;
};

// 0 once all `count` bytes are at the end, else the error that stopped the
// write, with the bytes it took cut off again. A write that takes nothing and
// names no error fails with 0xFFFFFFFF.
uint32_t AppendWhole(WholeAppendSteps* file, const void* data, size_t count);

#endif  // ZUVA_PLATFORM_WHOLE_APPEND_H_
