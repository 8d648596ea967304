// Upload from a plain DFU device (no DfuSe): blocks numbered from 0 read the
// selected alternate setting's memory from its start into the image's one
// element, until the element is full or the device ends its memory with a
// short block. The final record's blockNumber and blockLength then say how
// much was read: blockNumber × blockSize + blockLength bytes.
#ifndef ZUVA_OPERATIONS_PLAIN_UPLOAD_THREAD_H_
#define ZUVA_OPERATIONS_PLAIN_UPLOAD_THREAD_H_

#include "operations/dfu_thread.h"

class CPlainUploadThread : public CDFUThread {
 public:
  // Writes OP_ERR_BAD_PARAMETER into the caller's result for an image that
  // is not exactly one element, OP_ERR_UNEXPECTED without a transfer size.
  explicit CPlainUploadThread(OperationContext* caller);
  bool Step() override;

 protected:
  bool RepeatRequest(OperationContext* context) override;

 private:
  bool NextBlock(OperationContext* context);
};

// How many bytes a finished plain upload read, from its final record.
uint64_t PlainUploadedBytes(const OperationContext& final);

#endif  // ZUVA_OPERATIONS_PLAIN_UPLOAD_THREAD_H_
