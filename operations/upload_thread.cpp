#include "operations/upload_thread.h"

CUploadThread::CUploadThread(OperationContext* caller)
    : CDFUThread(caller, caller->tolerantUpload != 0 ? DFUSE_TOLERANT_UPLOAD_BLOCKS : DFUSE_BLOCKS) {
  if ((functionalDescriptor.bmAttributes & DFU_ATTR_ACCELERATED_UPLOAD) != 0) {
    caller->blockSize = OP_ACCELERATED_UPLOAD_BLOCK_SIZE;
    if (caller->image != nullptr) totalBlocks = CountBlocks(caller->image, OP_ACCELERATED_UPLOAD_BLOCK_SIZE);
    SetLaunchBlockSize(OP_ACCELERATED_UPLOAD_BLOCK_SIZE);
    // The device places accelerated blocks by their own size, whatever
    // transfer size it announces: one pointer reaches all 16-bit numbers.
    blocksPerPointer = DFUSE_BLOCKS_PER_POINTER;
  }
  // Blocks of size 0 would never read anything.
  if (caller->result == RESULT_OK && caller->blockSize == 0) caller->result = OP_ERR_UNEXPECTED;
}

bool CUploadThread::Step() {
  nextWaitMs = 0;
  OperationContext context;
  ReadContext(&context);
  switch (context.deviceStatus.bState) {
    case STATE_NOT_STARTED:
      chunkFirstBlock = 0;
      if (!BeginElementWalk(&context)) return false;
      return SendSetAddressCommand(&context);
    case DFU_STATE_DNBUSY:
    case STATE_UPLOAD_BUSY:
      return BusyStep(&context);
    case DFU_STATE_DNLOAD_IDLE:
    case DFU_STATE_UPLOAD_IDLE:
      return ContinueStep(&context, false);
    default:
      return Fail(&context, OP_ERR_BAD_FIRMWARE_STATE, true);
  }
}

bool CUploadThread::RepeatRequest(OperationContext* context) { return ContinueStep(context, true); }

bool CUploadThread::ContinueStep(OperationContext* context, bool repeat) {
  if (!PublishBlockProgress(context) && context->deviceStatus.bState == DFU_STATE_DNLOAD_IDLE) {
    // The set-address command has just been accepted; uploads start from
    // dfuIDLE.
    EnterPhase(context, PHASE_ABORT);
    DfuAbort(&context->device);
  }
  if (repeat) {
    return context->blockNumber < 2 ? SendSetAddressCommand(context) : ReceiveUploadBlock(context);
  }
  if (ChunkFull(*context)) {
    // The pointer reaches no further block: the rest of the element is
    // read from a new pointer, set as for a new element.
    chunkFirstBlock += blocksPerPointer;
    EnterPhase(context, PHASE_ABORT);
    DfuAbort(&context->device);
    return SendSetAddressCommand(context);
  }
  uint32_t elementDone = 0;
  const bool more = AdvanceBlock(context, &elementDone);
  if (more && elementDone == 0) return ReceiveUploadBlock(context);
  if (more) {
    // The abort takes the device out of dfuUPLOAD-IDLE before the next
    // element's command. A command that fails has ended the operation: no
    // block of the new element is read.
    EnterPhase(context, PHASE_ABORT);
    DfuAbort(&context->device);
    context->elementIndex += 1;
    chunkFirstBlock = 0;
    return SendSetAddressCommand(context);
  }
  return FinishElementWalk(context, elementDone);
}
