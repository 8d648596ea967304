#include "operations/plain_upload_thread.h"

CPlainUploadThread::CPlainUploadThread(OperationContext* caller) : CDFUThread(caller, PLAIN_DFU_BLOCKS) {
  CheckPlainLaunch(caller);
}

bool CPlainUploadThread::Step() {
  nextWaitMs = 0;
  OperationContext context;
  ReadContext(&context);
  switch (context.deviceStatus.bState) {
    case STATE_NOT_STARTED:
      if (!BeginElementWalk(&context)) return false;
      context.blockNumber = PLAIN_NO_BLOCK_YET;
      return NextBlock(&context);
    case DFU_STATE_DNBUSY:
    case STATE_UPLOAD_BUSY:
      return BusyStep(&context);
    case DFU_STATE_UPLOAD_IDLE:
    case DFU_STATE_DFU_IDLE:
      PublishBlockProgress(&context);
      // A short block ended the device's memory (and took it back to
      // dfuIDLE).
      if (context.blockLength < PlainBlockLength(context)) return FinishElementWalk(&context, 1);
      return NextBlock(&context);
    default:
      return Fail(&context, OP_ERR_BAD_FIRMWARE_STATE, true);
  }
}

bool CPlainUploadThread::RepeatRequest(OperationContext* context) { return ReceiveUploadBlock(context); }

bool CPlainUploadThread::NextBlock(OperationContext* context) {
  if (AdvancePlainBlock(context)) return ReceiveUploadBlock(context);
  // The element is full: what is read is what was asked for.
  context->blockNumber -= 1;
  context->blockLength = PlainBlockLength(*context);
  return FinishElementWalk(context, 1);
}

uint64_t PlainUploadedBytes(const OperationContext& final) {
  if (final.blockNumber == PLAIN_NO_BLOCK_YET) return 0;
  return uint64_t{final.blockNumber} * final.blockSize + final.blockLength;
}
