// Erase (one DfuSe erase command per image element) and download (per
// element a set-address-pointer command, then the element's data in numbered
// blocks), both walking the image's elements in order.
#ifndef ZUVA_OPERATIONS_DOWNLOAD_THREAD_H_
#define ZUVA_OPERATIONS_DOWNLOAD_THREAD_H_

#include "operations/dfu_thread.h"

class CDownloadThread : public CDFUThread {
 public:
  explicit CDownloadThread(OperationContext* caller);
  bool Step() override;

 protected:
  bool RepeatRequest(OperationContext* context) override;

 private:
  bool FirstStep(OperationContext* context);
  bool ContinueStep(OperationContext* context, bool repeat);
  // The DfuSe command that opens the current element.
  bool SendElementCommand(OperationContext* context);
};

#endif  // ZUVA_OPERATIONS_DOWNLOAD_THREAD_H_
