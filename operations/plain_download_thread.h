// Download to a plain DFU device (no DfuSe): the image's one element in
// blocks numbered from 0, each followed by the status poll, then the
// zero-length download that starts manifestation, followed until the device
// is idle again (manifestation tolerant), has left the bus, or waits for a
// USB reset, which the operation then sends: also to a device that said it
// manifests, then stopped answering, and is still listed. A device that
// never said it manifests has not shown that it took the firmware.
#ifndef ZUVA_OPERATIONS_PLAIN_DOWNLOAD_THREAD_H_
#define ZUVA_OPERATIONS_PLAIN_DOWNLOAD_THREAD_H_

#include "operations/dfu_thread.h"

class CPlainDownloadThread : public CDFUThread {
 public:
  // Writes OP_ERR_BAD_PARAMETER into the caller's result for an image that
  // is not exactly one element, OP_ERR_UNEXPECTED without a transfer size.
  explicit CPlainDownloadThread(OperationContext* caller);
  bool Step() override;

 protected:
  bool RepeatRequest(OperationContext* context) override;

 private:
  // The block after the current one, or the zero-length download when the
  // element is complete.
  bool NextBlock(OperationContext* context);
  bool StartManifestation(OperationContext* context);
  bool PollManifestation(OperationContext* context);

  bool manifesting = false;
  // A status after the zero-length download has said dfuMANIFEST-SYNC or
  // dfuMANIFEST.
  bool manifestationSeen = false;
};

#endif  // ZUVA_OPERATIONS_PLAIN_DOWNLOAD_THREAD_H_
