// Reads device memory back into the operation's image: for every element, a
// set-address-pointer command names its start, DFU_ABORT returns the device
// to dfuIDLE, and DFU_UPLOAD blocks 2, 3, ... read the element.
#ifndef ZUVA_OPERATIONS_UPLOAD_THREAD_H_
#define ZUVA_OPERATIONS_UPLOAD_THREAD_H_

#include "operations/dfu_thread.h"

// The block size of a device that announces accelerated upload.
constexpr uint16_t OP_ACCELERATED_UPLOAD_BLOCK_SIZE = 4096;

class CUploadThread : public CDFUThread {
 public:
  // Also writes 4096 into the caller's blockSize for a device with
  // accelerated upload.
  explicit CUploadThread(OperationContext* caller);
  bool Step() override;

 protected:
  bool RepeatRequest(OperationContext* context) override;

 private:
  bool ContinueStep(OperationContext* context, bool repeat);
};

#endif  // ZUVA_OPERATIONS_UPLOAD_THREAD_H_
