#include "platform/whole_append.h"

uint32_t AppendWhole(WholeAppendSteps* file, const void* data, size_t count) {
  uint64_t start = 0;
  if (const uint32_t error = file->Length(&start); error != 0) return error;
  const auto* bytes = static_cast<const uint8_t*>(data);
  size_t done = 0;
  while (done < count) {
    size_t written = 0;
    uint32_t error = file->WriteAtEnd(bytes + done, count - done, &written);
    done += written;
    if (error == 0 && written == 0) error = 0xFFFFFFFF;
    if (error != 0) {
      // Should the cut fail too, the write's error is still the one to tell.
      if (done > 0) file->CutTo(start);
      return error;
    }
  }
  return 0;
}
