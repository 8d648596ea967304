#include "operations/plain_download_thread.h"

#include "common/guid.h"
#include "device/device_listing.h"

CPlainDownloadThread::CPlainDownloadThread(OperationContext* caller) : CDFUThread(caller, PLAIN_DFU_BLOCKS) {
  CheckPlainLaunch(caller);
}

bool CPlainDownloadThread::Step() {
  nextWaitMs = 0;
  OperationContext context;
  ReadContext(&context);
  if (manifesting) return PollManifestation(&context);
  switch (context.deviceStatus.bState) {
    case STATE_NOT_STARTED:
      if (!BeginElementWalk(&context)) return false;
      context.blockNumber = PLAIN_NO_BLOCK_YET;
      return NextBlock(&context);
    case DFU_STATE_DNBUSY:
      return BusyStep(&context);
    case DFU_STATE_DNLOAD_IDLE:
      PublishBlockProgress(&context);
      return NextBlock(&context);
    default:
      return Fail(&context, OP_ERR_BAD_FIRMWARE_STATE, true);
  }
}

bool CPlainDownloadThread::RepeatRequest(OperationContext* context) { return SendDownloadBlock(context); }

bool CPlainDownloadThread::NextBlock(OperationContext* context) {
  if (AdvancePlainBlock(context)) return SendDownloadBlock(context);
  return StartManifestation(context);
}

bool CPlainDownloadThread::StartManifestation(OperationContext* context) {
  // The zero-length download carries the number the next block would have.
  manifesting = true;
  RestartBusyTime();
  static const uint8_t nothing = 0;
  EnterPhase(context, PHASE_DNLOAD);
  if (DfuDownload(&context->device, &nothing, 0, static_cast<uint16_t>(context->blockNumber)) !=
      RESULT_OK) {
    return Fail(context, OP_ERR_UNEXPECTED, true);
  }
  return PollManifestation(context);
}

bool CPlainDownloadThread::PollManifestation(OperationContext* context) {
  const bool tolerant = (functionalDescriptor.bmAttributes & DFU_ATTR_MANIFESTATION_TOLERANT) != 0;
  EnterPhase(context, PHASE_GETSTATUS);
  DfuStatus status{};
  if (DfuGetStatusStaying(&context->device, &status) != RESULT_OK) {
    // Without a status that said the device manifests, nothing shows that
    // the firmware was taken.
    if (tolerant || !manifestationSeen) return Fail(context, OP_ERR_UNEXPECTED, false);
    // A device that does not tolerate manifestation may stop answering once
    // it has manifested: it leaves the bus to start its firmware, or waits
    // in silence in dfuMANIFEST-WAIT-RESET for the USB reset it then gets.
    // Only a complete listing without it shows that it has left.
    if (InterfaceListed(context->devicePath, {DFU_INTERFACE_GUID}) != LISTING_ABSENT) {
      EnterPhase(context, PHASE_USB_RESET);
      context->resetResult = UsbResetDevice(&context->device);
    }
    context->progress = 100;
    PublishContext(*context);
    return false;
  }
  context->deviceStatus = status;
  if (status.bStatus != 0 || status.bState == DFU_STATE_ERROR) {
    return Fail(context, OP_ERR_DFU_ERROR, false);
  }
  switch (status.bState) {
    case DFU_STATE_MANIFEST_WAIT_RESET:
      // The new firmware starts at a USB reset. A transport that cannot send
      // one leaves that to the user, and the record says so.
      EnterPhase(context, PHASE_USB_RESET);
      context->resetResult = UsbResetDevice(&context->device);
      context->progress = 100;
      PublishContext(*context);
      return false;
    case DFU_STATE_DFU_IDLE:
      context->progress = 100;
      PublishContext(*context);
      return false;
    case DFU_STATE_MANIFEST_SYNC:
    case DFU_STATE_MANIFEST:
      manifestationSeen = true;
      if (!WithinBusyLimit()) return Fail(context, OP_ERR_BUSY_TIMEOUT, true);
      nextWaitMs = BoundedBusyWait(BusyPollInterval(status));
      PublishContext(*context);
      return true;
    default:
      return Fail(context, OP_ERR_BAD_FIRMWARE_STATE, true);
  }
}
