#include "operations/download_thread.h"

CDownloadThread::CDownloadThread(OperationContext* caller) : CDFUThread(caller) {
  // Data blocks of size 0 would read as the request to leave DFU mode.
  if (caller->result == RESULT_OK && caller->opCode == OP_CODE_DOWNLOAD && caller->blockSize == 0) {
    caller->result = OP_ERR_UNEXPECTED;
  }
}

bool CDownloadThread::Step() {
  nextWaitMs = 0;
  OperationContext context;
  ReadContext(&context);
  switch (context.deviceStatus.bState) {
    case STATE_NOT_STARTED:
      return FirstStep(&context);
    case DFU_STATE_DNBUSY:
      return BusyStep(&context);
    case DFU_STATE_DNLOAD_IDLE:
      return ContinueStep(&context, false);
    default:
      return Fail(&context, OP_ERR_BAD_FIRMWARE_STATE, true);
  }
}

bool CDownloadThread::FirstStep(OperationContext* context) {
  chunkFirstBlock = 0;
  if (!BeginElementWalk(context)) return false;
  return SendElementCommand(context);
}

bool CDownloadThread::RepeatRequest(OperationContext* context) { return ContinueStep(context, true); }

bool CDownloadThread::SendElementCommand(OperationContext* context) {
  return context->opCode == OP_CODE_ERASE ? SendEraseCommand(context) : SendSetAddressCommand(context);
}

bool CDownloadThread::ContinueStep(OperationContext* context, bool repeat) {
  if (context->opCode == OP_CODE_ERASE) {
    const CImage* image = context->image;
    const uint32_t count = image != nullptr ? image->ElementCount() : 0;
    if (count != 0) {
      context->progress = static_cast<uint8_t>((static_cast<uint64_t>(context->elementIndex) + 1) * 99 / count);
    }
  }
  if (!PublishBlockProgress(context)) PublishContext(*context);

  if (repeat) {
    return context->blockNumber >= 2 ? SendDownloadBlock(context) : SendElementCommand(context);
  }
  if (ChunkFull(*context)) {
    // The pointer reaches no further block: the rest of the element goes
    // on from a new pointer, set as for a new element.
    chunkFirstBlock += blocksPerPointer;
    return SendSetAddressCommand(context);
  }
  uint32_t elementDone = 0;
  const bool more = AdvanceBlock(context, &elementDone);
  if (more && elementDone == 0) return SendDownloadBlock(context);
  if (more) {
    context->elementIndex += 1;
    chunkFirstBlock = 0;
    return SendElementCommand(context);
  }
  return FinishElementWalk(context, elementDone);
}
