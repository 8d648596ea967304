#include "operations/dfu_thread.h"

#include <algorithm>
#include <cstring>

#include "operations/engine_clock.h"

namespace {

// The largest block a transfer can carry: wTransferSize is a 16-bit field.
constexpr size_t OP_BLOCK_BUFFER_SIZE = 0x10000;
uint32_t CeilDiv(uint32_t size, uint32_t blockSize) {
  return size / blockSize + (size % blockSize != 0 ? 1 : 0);
}

uint32_t& ConfiguredBusyLimit() {
  static uint32_t limit = OP_BUSY_LIMIT_MS;
  return limit;
}

}  // namespace

void SetBusyLimit(uint32_t milliseconds) { ConfiguredBusyLimit() = milliseconds; }

uint32_t BusyPollInterval(const DfuStatus& status) {
  return std::max(DfuStatusPollTimeout(status), OP_MIN_POLL_INTERVAL_MS);
}

CDFUThread::CDFUThread(OperationContext* caller, const BlockScheme& blocks)
    : scheme(blocks),
      sharedContext(),
      blockBuffer(std::make_unique_for_overwrite<uint8_t[]>(OP_BLOCK_BUFFER_SIZE)),
      busyLimitMs(ConfiguredBusyLimit()) {
  caller->result = RESULT_OK;
  DeviceHandle device = DEVICE_INVALID_HANDLE;
  if (OpenDevice(caller->devicePath, &device) != RESULT_OK) {
    caller->result = DEV_ERR_OPEN_FAILED;
  } else {
    if (ReadDfuFunctionalDescriptor(&device, &dfuInterfaceNumber, &dfuAlternateCount,
                                    &functionalDescriptor) != RESULT_OK) {
      caller->result = OP_ERR_UNEXPECTED;
    } else {
      ReadCompositeDfuInterface(device);
      // A copy: the descriptor is packed, and std::min takes references.
      const uint16_t transferSize = functionalDescriptor.wTransferSize;
      caller->blockSize = std::min(transferSize, scheme.maxBlockSize);
      if (scheme.CarriesCommands() && transferSize > caller->blockSize) blocksPerPointer = 1;
    }
    CloseDevice(device);
  }
  nextWaitMs = 0;
  retriesLeft = OP_RETRY_BUDGET;

  OperationContext& shared = sharedContext;
  shared.dfuModeInterfaceClass = caller->dfuModeInterfaceClass;
  shared.appModeInterfaceClass = caller->appModeInterfaceClass;
  shared.opCode = caller->opCode;
  shared.skipBlankBlocks = caller->skipBlankBlocks;
  shared.fastPoll = caller->fastPoll;
  shared.tolerantUpload = caller->tolerantUpload;
  poll.SetEarly(caller->fastPoll != 0);
  shared.image = caller->image;
  shared.uploadSink = caller->uploadSink;
  // A path that fills the whole field is cut to keep its terminator.
  std::memcpy(shared.devicePath, caller->devicePath, sizeof(shared.devicePath));
  shared.devicePath[sizeof(shared.devicePath) - 1] = '\0';

  totalBlocks = CountBlocks(caller->image, caller->blockSize);

  shared.publishCount = 0;
  shared.progress = 0;
  shared.blockSize = caller->blockSize;
  std::memset(&shared.deviceStatus, 0xFF, sizeof(shared.deviceStatus));
  shared.phase = PHASE_NONE;
  shared.blockNumber = 0xFFFFFFFF;
  shared.blockLength = 0xFFFFFFFF;
  shared.blockAddress = 0;
  shared.elementIndex = 0xFFFFFFFF;
  shared.result = caller->result;
  shared.device = DEVICE_INVALID_HANDLE;
  shared.lastRequest = 0xFF;
  shared.lastRequestResult = RESULT_OK;
}

CDFUThread::~CDFUThread() = default;

void CDFUThread::ReadCompositeDfuInterface(DeviceHandle device) {
  // The ordinal walk reads the number as 0 when the DFU interface follows
  // others; DFU_DETACH must name the interface's own number, and its
  // functional descriptor is the one after that interface. A device whose
  // DFU interface is interface 0 keeps what the walk found.
  uint8_t number = 0;
  DfuFunctionalDescriptor own{};
  if (ReadDfuInterface(&device, &number, &own) != RESULT_OK || number == dfuInterfaceNumber) return;
  dfuInterfaceNumber = number;
  if (own.bLength != 0) functionalDescriptor = own;
}

uint32_t CDFUThread::CountBlocks(const CImage* image, uint32_t blockSize) {
  if (image == nullptr || blockSize == 0) return 0;
  uint32_t count = 0;
  for (uint32_t i = 0; i < image->ElementCount(); ++i) {
    const ImageElement* element = image->ElementAt(i);
    if (element != nullptr) count += CeilDiv(element->size, blockSize);
  }
  return count;
}

bool CDFUThread::Halt(uint32_t* exitCode) { return HaltAndClose(exitCode, true); }

bool CDFUThread::HaltAndClose(uint32_t* exitCode, bool abortIfInterrupted) {
  uint32_t workerExit = 0;
  const bool hadWorker = CSTThread::Halt(&workerExit);
  if (hadWorker && exitCode != nullptr) *exitCode = workerExit;
  OperationContext context;
  ReadContext(&context);
  if (context.device != DEVICE_INVALID_HANDLE) {
    if (abortIfInterrupted && hadWorker && workerExit == OP_EXIT_STOPPED) {
      DeviceHandle device = context.device;
      DfuAbort(&device);
    }
    CloseDevice(context.device);
    // A second halt must not close a handle that is gone.
    context.device = DEVICE_INVALID_HANDLE;
    PublishContext(context);
  }
  return hadWorker;
}

void CDFUThread::SetSharedProgress(uint8_t progress) {
  {
    std::lock_guard<std::mutex> guard(contextLock);
    sharedContext.progress = progress;
  }
  activity.Set();
}

void CDFUThread::SetLaunchBlockSize(uint16_t blockSize) {
  std::lock_guard<std::mutex> guard(contextLock);
  sharedContext.blockSize = blockSize;
}

void CDFUThread::OnStepException() {
  OperationContext context;
  ReadContext(&context);
  context.result = OP_ERR_UNEXPECTED;
  PublishContext(context);
}

uint32_t CDFUThread::StepInterval() { return nextWaitMs; }

void CDFUThread::ReadContext(OperationContext* out) {
  std::lock_guard<std::mutex> guard(contextLock);
  *out = sharedContext;
}

void CDFUThread::PublishContext(const OperationContext& in) {
  bool watched = false;
  {
    std::lock_guard<std::mutex> guard(contextLock);
    const uint32_t count = sharedContext.publishCount;
    watched = in.progress != sharedContext.progress || in.result != sharedContext.result;
    sharedContext = in;
    sharedContext.publishCount = count + 1;
  }
  // The console acts only on progress and result; waking it for every
  // request cost a hand-off of the thread each time.
  if (watched) activity.Set();
}

uint32_t CDFUThread::WorkerMain() {
  const uint32_t exitCode = CSTThread::WorkerMain();
  activity.Set();
  return exitCode;
}

void CDFUThread::EnterPhase(OperationContext* context, uint32_t phase) {
  context->phase = phase;
  PublishContext(*context);
}

bool CDFUThread::Fail(OperationContext* context, StatusCode result, bool abort) {
  // A failed request explains the failure when the worker gave up right
  // after it, or after the one request that checked the state it left.
  const DfuRequestRecord failed = LastFailedDfuRequest();
  const bool recent = failed.request != 0xFF && failed.later <= 1;
  return FailAfterRequest(context, result, abort, recent ? failed.request : 0xFF,
                          recent ? failed.result : RESULT_OK);
}

bool CDFUThread::FailAfterRequest(OperationContext* context, StatusCode result, bool abort, uint8_t request,
                                  StatusCode requestResult) {
  context->result = result;
  context->lastRequest = request;
  context->lastRequestResult = requestResult;
  PublishContext(*context);
  if (abort) DfuAbort(&context->device);
  return false;
}

StatusCode CDFUThread::GetStatusInto(OperationContext* context) {
  DfuStatus status{};
  // An operation that follows manifestation itself keeps the device open: a
  // tolerant device stays on the bus through it.
  const StatusCode code = scheme.statusKeepsDevice ? DfuGetStatusStaying(&context->device, &status)
                                                   : DfuGetStatus(&context->device, &status);
  if (code == RESULT_OK) context->deviceStatus = status;
  return code;
}

bool CDFUThread::AdvanceBlock(OperationContext* context, uint32_t* elementDone) {
  *elementDone = 0;
  const CImage* image = context->image;
  for (;;) {
    if (image == nullptr || image->isValid == 0 || context->elementIndex >= image->ElementCount()) {
      return false;
    }
    const ImageElement* element = image->ElementAt(context->elementIndex);
    // An erase sends no data blocks: every element is complete at once.
    const uint32_t size = context->opCode == OP_CODE_ERASE ? 0 : element->size;
    if (context->blockNumber < 2) {
      context->blockNumber = 2;
      context->blockLength = 0;
    }
    const uint32_t blockSize = context->blockSize;
    // Without a block size no data can travel; zero-length data blocks would
    // read as the request that makes the device leave DFU mode.
    if (blockSize == 0 && size != 0) return false;
    const uint64_t sent =
        (uint64_t{chunkFirstBlock} + context->blockNumber - 2) * blockSize + context->blockLength;
    if (sent >= size) {
      *elementDone = 1;
      return context->elementIndex + 1 < image->ElementCount();
    }
    if (context->blockLength != 0) context->blockNumber += 1;
    const uint64_t offset = (uint64_t{chunkFirstBlock} + context->blockNumber - 2) * blockSize;
    context->blockLength = blockSize;
    if (offset + blockSize >= size) context->blockLength = static_cast<uint32_t>(size - offset);
    if (context->skipBlankBlocks != 0 && context->opCode == OP_CODE_DOWNLOAD) {
      const uint8_t* bytes = element->data + offset;
      const bool blank = std::all_of(bytes, bytes + context->blockLength,
                                     [](uint8_t b) { return b == 0xFF; });
      // A skipped block uses up its number, so the device still places every
      // later block by its number. The last number a pointer reaches is sent
      // all the same: the next block then goes on from a new pointer.
      if (blank && context->blockNumber != LastBlockOfChunk()) continue;
    }
    return true;
  }
}

bool CDFUThread::SettleToIdle(OperationContext* context) {
  EnterPhase(context, PHASE_GETSTATUS);
  StatusCode code = GetStatusInto(context);
  if (code != RESULT_OK || context->deviceStatus.bState == DFU_STATE_ERROR) {
    EnterPhase(context, PHASE_CLRSTATUS);
    if (DfuClearStatus(&context->device) != RESULT_OK) {
      return Fail(context, OP_ERR_UNEXPECTED, true);
    }
    EnterPhase(context, PHASE_GETSTATUS);
    if (GetStatusInto(context) != RESULT_OK) return Fail(context, OP_ERR_UNEXPECTED, true);
    PublishContext(*context);
  }

  EnterPhase(context, PHASE_GETSTATUS);
  if (GetStatusInto(context) != RESULT_OK) return Fail(context, OP_ERR_UNEXPECTED, true);
  PublishContext(*context);

  if (context->deviceStatus.bState != DFU_STATE_DFU_IDLE) {
    EnterPhase(context, PHASE_ABORT);
    if (DfuAbort(&context->device) != RESULT_OK) {
      EnterPhase(context, PHASE_CLRSTATUS);
      DfuClearStatus(&context->device);
    }
    EnterPhase(context, PHASE_GETSTATUS);
    if (GetStatusInto(context) != RESULT_OK) return Fail(context, OP_ERR_UNEXPECTED, true);
    PublishContext(*context);
  }

  if (context->deviceStatus.bState == DFU_STATE_ERROR) {
    EnterPhase(context, PHASE_CLRSTATUS);
    DfuClearStatus(&context->device);
    EnterPhase(context, PHASE_GETSTATUS);
    GetStatusInto(context);
    PublishContext(*context);
  }

  if (context->deviceStatus.bState == DFU_STATE_DFU_IDLE) {
    PublishContext(*context);
    return true;
  }
  context->result = OP_ERR_BAD_FIRMWARE_STATE;
  DfuAbort(&context->device);
  PublishContext(*context);
  return false;
}

bool CDFUThread::SendEraseCommand(OperationContext* context) {
  context->blockNumber = static_cast<uint32_t>(DFUSE_CMD_ERASE) << 16;
  context->blockLength = DFUSE_COMMAND_LENGTH;
  context->phase = PHASE_DNLOAD;
  return TransferBlock(context);
}

bool CDFUThread::SendSetAddressCommand(OperationContext* context) {
  context->blockNumber = static_cast<uint32_t>(DFUSE_CMD_SET_ADDRESS) << 16;
  context->blockLength = DFUSE_COMMAND_LENGTH;
  context->phase = PHASE_DNLOAD;
  return TransferBlock(context);
}

bool CDFUThread::SendDownloadBlock(OperationContext* context) {
  context->phase = PHASE_DNLOAD;
  return TransferBlock(context);
}

bool CDFUThread::ReceiveUploadBlock(OperationContext* context) {
  context->phase = PHASE_UPLOAD;
  return TransferBlock(context);
}

const ImageElement* CDFUThread::TransferElement(const OperationContext& context) {
  const CImage* image = context.image;
  if (image == nullptr || image->isValid == 0) return nullptr;
  return image->ElementAt(context.elementIndex);
}

bool CDFUThread::ClearErrorBeforeCommand(OperationContext* context) {
  EnterPhase(context, PHASE_GETSTATE);
  uint8_t state = 0;
  if (DfuGetState(&context->device, &state) != RESULT_OK) return true;
  context->deviceStatus.bState = state;
  PublishContext(*context);
  // A device that keeps answering dfuERROR (or whose state can no longer be
  // read) would hold the worker here for ever; three rounds are enough for a
  // device that recovers at all.
  for (uint32_t round = 0; context->deviceStatus.bState == DFU_STATE_ERROR; ++round) {
    if (round == OP_CLEAR_ERROR_ROUNDS) return Fail(context, OP_ERR_UNEXPECTED, true);
    EnterPhase(context, PHASE_CLRSTATUS);
    DfuClearStatus(&context->device);
    if (DfuGetState(&context->device, &state) == RESULT_OK) context->deviceStatus.bState = state;
  }
  PublishContext(*context);
  return true;
}

bool CDFUThread::RecoverAfterFailedRequest(OperationContext* context) {
  EnterPhase(context, PHASE_GETSTATE);
  uint8_t state = 0;
  if (DfuGetState(&context->device, &state) != RESULT_OK) {
    return Fail(context, OP_ERR_UNEXPECTED, true);
  }
  context->deviceStatus.bState = state;
  PublishContext(*context);
  if (state == DFU_STATE_ERROR) {
    EnterPhase(context, PHASE_CLRSTATUS);
    DfuClearStatus(&context->device);
  }
  return true;
}

bool CDFUThread::TransferBlock(OperationContext* context) {
  requestReachedDevice = false;
  BlockRequest request;
  if (!FormRequest(*context, &request)) return Fail(context, OP_ERR_BAD_PARAMETER, false);
  lastRequestUpload = !request.download;
  const RequestKey key{context->elementIndex, chunkFirstBlock, context->blockNumber};
  if (key != busyRequest) {
    busyRequest = key;
    busySince = EngineNow();
  }
  for (int32_t attemptsLeft = OP_RETRY_BUDGET;;) {
    if (!PrepareRequest(context, request)) return false;
    bool shortBlock = false;
    const StatusCode sent = SendRequest(context, request, &shortBlock);
    const Answer answer = CheckAnswer(context, request, sent, shortBlock);
    if (answer == Answer::kEnded) return false;
    if (answer == Answer::kTaken) break;
    if (--attemptsLeft == 0) {
      // A request that failed its last attempt is what the device refused,
      // not the state and clear-status requests sent after it.
      if (sent != RESULT_OK) {
        return FailAfterRequest(context, OP_ERR_UNEXPECTED, true,
                                request.download ? DFU_REQUEST_DNLOAD : DFU_REQUEST_UPLOAD, sent);
      }
      return Fail(context, OP_ERR_UNEXPECTED, true);
    }
  }
  ScheduleBusyPoll(*context, request.command);
  return true;
}

bool CDFUThread::FormRequest(const OperationContext& context, BlockRequest* request) const {
  request->download = context.phase == PHASE_DNLOAD;
  request->wireNumber = BlockScheme::WireNumber(context.blockNumber);
  request->data = scheme.IsDataBlock(context.blockNumber);
  request->element = TransferElement(context);
  request->command = static_cast<uint8_t>(context.blockNumber >> 16);
  if (!request->data) {
    // Block 0 carries a DfuSe command, which only a download sends; block 1
    // carries nothing. A command to the whole device is its code alone and
    // names no element.
    if (!request->download || request->wireNumber != 0 || context.blockLength > DFUSE_COMMAND_LENGTH) return false;
    return request->element != nullptr || context.blockLength == 1;
  }
  if (request->element == nullptr) return false;
  request->offset = scheme.Offset(context.blockNumber, chunkFirstBlock, context.blockSize);
  // Only the block travels: it must lie inside the element and the buffer.
  return request->offset + context.blockLength <= request->element->size &&
         context.blockLength <= OP_BLOCK_BUFFER_SIZE;
}

bool CDFUThread::PrepareRequest(OperationContext* context, const BlockRequest& request) {
  const ImageElement* element = request.element;
  if (request.data) {
    context->blockAddress = element->address + static_cast<uint32_t>(request.offset);
    // Only the block's bytes are copied, never the element.
    if (request.download && context->blockLength != 0) {
      std::memcpy(blockBuffer.get(), element->data + request.offset, context->blockLength);
    }
  } else {
    if (!ClearErrorBeforeCommand(context)) return false;
    // A DfuSe command: its code, then the address, little-endian: the
    // element's, or where the element's current chunk starts (none for a
    // command to the whole device).
    context->blockAddress =
        element != nullptr
            ? element->address + static_cast<uint32_t>(uint64_t{chunkFirstBlock} * context->blockSize)
            : 0;
    blockBuffer[0] = request.command;
    for (int i = 0; i < 4; ++i) blockBuffer[1 + i] = static_cast<uint8_t>(context->blockAddress >> (8 * i));
  }
  context->blockNumber = scheme.RecordedNumber(context->blockNumber);
  EnterPhase(context, request.download ? PHASE_DNLOAD : PHASE_UPLOAD);
  return true;
}

StatusCode CDFUThread::SendRequest(OperationContext* context, const BlockRequest& request, bool* shortBlock) {
  if (request.download) {
    return DfuDownload(&context->device, blockBuffer.get(), context->blockLength, request.wireNumber);
  }
  StatusCode result;
  if (scheme.StatusAfterUploadBlock()) {
    result = DfuUpload(&context->device, blockBuffer.get(), context->blockLength, request.wireNumber);
  } else {
    // Without a status request to tell, a short block is how the device
    // says that its memory ends.
    uint32_t received = 0;
    result = DfuUploadUpTo(&context->device, blockBuffer.get(), context->blockLength, request.wireNumber,
                           &received);
    if (result == RESULT_OK) {
      *shortBlock = received < context->blockLength;
      context->blockLength = received;
    }
  }
  if (result == RESULT_OK && context->blockLength != 0) {
    if (context->uploadSink != nullptr) {
      context->uploadSink->Received(*request.element, static_cast<uint32_t>(request.offset), blockBuffer.get(),
                                    context->blockLength);
    } else {
      // The block goes straight into its place in the element.
      std::memcpy(request.element->data + request.offset, blockBuffer.get(), context->blockLength);
    }
  }
  return result;
}

CDFUThread::Answer CDFUThread::CheckAnswer(OperationContext* context, const BlockRequest& request, StatusCode sent,
                                           bool shortBlock) {
  if (sent != RESULT_OK) {
    if (!RecoverAfterFailedRequest(context)) return Answer::kEnded;
    requestReachedDevice = true;
    return Answer::kRepeat;
  }
  requestReachedDevice = true;
  if (!request.download && !scheme.StatusAfterUploadBlock()) {
    // No status request between these upload blocks: the record holds the
    // state the diagram gives, and the device is asked once the read ends.
    context->deviceStatus.bStatus = 0;
    context->deviceStatus.bState = shortBlock ? DFU_STATE_DFU_IDLE : DFU_STATE_UPLOAD_IDLE;
    PublishContext(*context);
    // A DfuSe block is asked for only inside the readable range the map
    // gives: a short one there means the device ended its memory sooner,
    // and what follows it was never read. The record keeps the block's
    // address and the bytes that came.
    if (shortBlock && !scheme.ShortUploadEnds()) {
      Fail(context, OP_ERR_UPLOAD_ENDED_EARLY, true);
      return Answer::kEnded;
    }
    return Answer::kTaken;
  }
  EnterPhase(context, PHASE_GETSTATUS);
  if (GetStatusInto(context) != RESULT_OK) {
    return RecoverAfterFailedRequest(context) ? Answer::kRepeat : Answer::kEnded;
  }
  PublishContext(*context);
  const DfuStatus& status = context->deviceStatus;
  if (status.bState == DFU_STATE_ERROR) {
    EnterPhase(context, PHASE_CLRSTATUS);
    DfuClearStatus(&context->device);
    return Answer::kRepeat;
  }
  if (status.bStatus != 0) {
    Fail(context, OP_ERR_DFU_ERROR, false);
    return Answer::kEnded;
  }
  const bool fits = request.download
                        ? (status.bState == DFU_STATE_DNBUSY || status.bState == DFU_STATE_DNLOAD_IDLE ||
                           status.bState == DFU_STATE_MANIFEST)
                        : (status.bState == DFU_STATE_UPLOAD_IDLE || status.bState == STATE_UPLOAD_BUSY);
  if (!fits) {
    Fail(context, OP_ERR_BAD_FIRMWARE_STATE, false);
    return Answer::kEnded;
  }
  return Answer::kTaken;
}

void CDFUThread::ScheduleBusyPoll(const OperationContext& context, uint8_t command) {
  const uint8_t state = context.deviceStatus.bState;
  if (state != DFU_STATE_DNBUSY && state != STATE_UPLOAD_BUSY) {
    nextWaitMs = 0;
    return;
  }
  PublishContext(context);
  nextWaitMs = BoundedBusyWait(poll.FirstBusy(command, BusyPollInterval(context.deviceStatus), EngineNow()));
  // A device that announces no wait at all is asked again at once, but only
  // once for a request: after that the shortest wait holds, so a device that
  // keeps answering busy with 0 (or alternates busy answers with errors) is
  // not flooded. Waiting the shortest wait after every block made a download
  // with fast timing many times slower than an upload.
  if (DfuStatusPollTimeout(context.deviceStatus) == 0 && busyRequest != immediatePollRequest) {
    immediatePollRequest = busyRequest;
    nextWaitMs = 0;
  }
}

bool CDFUThread::OpenAndSettle(OperationContext* context, const uint8_t* alternate) {
  retriesLeft = OP_RETRY_BUDGET;
  context->deviceStatus.bState = STATE_STARTING;
  EnterPhase(context, PHASE_OPEN_DEVICE);
  if (context->devicePath[0] == '\0' || OpenDevice(context->devicePath, &context->device) != RESULT_OK) {
    return Fail(context, DEV_ERR_OPEN_FAILED, false);
  }
  EnterPhase(context, PHASE_SELECT_ALTERNATE);
  if (alternate == nullptr) return Fail(context, OP_ERR_BAD_PARAMETER, true);
  if (SelectAlternateSetting(context->device, *alternate) != RESULT_OK) {
    return Fail(context, OP_ERR_UNEXPECTED, true);
  }
  return SettleToIdle(context);
}

bool CDFUThread::BeginElementWalk(OperationContext* context) {
  const CImage* image = context->image;
  // Without an image there is nothing to select or to transfer.
  if (!OpenAndSettle(context, image != nullptr ? &image->alternateSetting : nullptr)) return false;
  if (image->ElementCount() == 0) {
    context->progress = 100;
    PublishContext(*context);
    return false;
  }
  context->elementIndex = 0;
  return true;
}

bool CDFUThread::BusyStep(OperationContext* context) {
  // dfuUPLOAD-IDLE ends the wait after an upload block only: after a DfuSe
  // command it says the command was not taken, and an upload would read
  // from wherever the device points.
  bool repeat = false;
  if (!PollWhileBusy(context, lastRequestUpload, &repeat)) return BusyStepEnded(context);
  return repeat ? RepeatRequest(context) : true;
}

bool CDFUThread::RepeatRequest(OperationContext* context) { return Fail(context, OP_ERR_UNEXPECTED, true); }

bool CDFUThread::BusyStepEnded(OperationContext*) { return false; }

bool CDFUThread::PollWhileBusy(OperationContext* context, bool uploadStates, bool* repeat) {
  *repeat = false;
  const bool early = poll.LastWaitEarly();
  const CPollSchedule::Clock::time_point sentAt = EngineNow();
  EnterPhase(context, PHASE_GETSTATUS);
  if (GetStatusInto(context) != RESULT_OK) {
    if (!early) return Fail(context, OP_ERR_UNEXPECTED, true);
    FallBackToAnnouncedPolls(context);
    if (!RecoverAfterFailedRequest(context)) return false;
    return ResumeAfterRefusedPoll(context, uploadStates, repeat);
  }
  PublishContext(*context);
  const DfuStatus& status = context->deviceStatus;
  if (status.bStatus == 0) {
    if (status.bState == DFU_STATE_DNLOAD_IDLE || (uploadStates && status.bState == DFU_STATE_UPLOAD_IDLE)) {
      poll.Done(sentAt);
      retriesLeft = OP_RETRY_BUDGET;
      return true;
    }
    if (status.bState == DFU_STATE_DNBUSY) {
      if (!WithinBusyLimit()) return Fail(context, OP_ERR_BUSY_TIMEOUT, true);
      nextWaitMs = BoundedBusyWait(poll.StillBusy(BusyPollInterval(status), EngineNow()));
      retriesLeft = OP_RETRY_BUDGET;
      return true;
    }
    return Fail(context, OP_ERR_BAD_FIRMWARE_STATE, true);
  }
  if (early) FallBackToAnnouncedPolls(context);
  EnterPhase(context, PHASE_CLRSTATUS);
  if (status.bState == DFU_STATE_ERROR) DfuClearStatus(&context->device);
  // Busy answers reset the budget of bad ones, so only the time bounds a
  // device that alternates them.
  if (--retriesLeft <= 0) return Fail(context, OP_ERR_UNEXPECTED, true);
  if (!WithinBusyLimit()) return Fail(context, OP_ERR_BUSY_TIMEOUT, true);
  *repeat = true;
  return true;
}

void CDFUThread::CheckPlainLaunch(OperationContext* caller) {
  if (caller->result != RESULT_OK) return;
  if (caller->image == nullptr || caller->image->ElementCount() != 1) {
    caller->result = OP_ERR_BAD_PARAMETER;
  } else if (caller->blockSize == 0) {
    // Blocks of size 0 would carry nothing, and a zero-length download
    // starts manifestation.
    caller->result = OP_ERR_UNEXPECTED;
  }
}

uint32_t CDFUThread::PlainBlockLength(const OperationContext& context) {
  const ImageElement* element = TransferElement(context);
  if (element == nullptr) return 0;
  const uint64_t offset = uint64_t{context.blockNumber} * context.blockSize;
  if (offset >= element->size) return 0;
  return static_cast<uint32_t>(std::min<uint64_t>(context.blockSize, element->size - offset));
}

bool CDFUThread::AdvancePlainBlock(OperationContext* context) {
  context->blockNumber = context->blockNumber == PLAIN_NO_BLOCK_YET ? 0 : context->blockNumber + 1;
  context->blockLength = PlainBlockLength(*context);
  return context->blockLength != 0;
}

void CDFUThread::RestartBusyTime() {
  busyRequest = RequestKey{};
  busySince = EngineNow();
}

void CDFUThread::FallBackToAnnouncedPolls(OperationContext* context) {
  poll.FallBack();
  context->fastPoll = 0;
  PublishContext(*context);
}

bool CDFUThread::ResumeAfterRefusedPoll(OperationContext* context, bool uploadStates, bool* repeat) {
  const uint8_t state = context->deviceStatus.bState;
  if (state == DFU_STATE_DNBUSY || state == DFU_STATE_DNLOAD_SYNC) {
    // Still at work: asked again once the announced time is over, within
    // the bound every busy device has.
    if (!WithinBusyLimit()) return Fail(context, OP_ERR_BUSY_TIMEOUT, true);
    context->deviceStatus.bState = DFU_STATE_DNBUSY;
    nextWaitMs = BoundedBusyWait(BusyPollInterval(context->deviceStatus));
    PublishContext(*context);
    return true;
  }
  if (state == DFU_STATE_DNLOAD_IDLE || (uploadStates && state == DFU_STATE_UPLOAD_IDLE)) {
    poll.Done(EngineNow());
    retriesLeft = OP_RETRY_BUDGET;
    return true;
  }
  // The refusal cost the device its work (it went to dfuERROR, now
  // cleared): the request is sent again.
  if (--retriesLeft <= 0) return Fail(context, OP_ERR_UNEXPECTED, true);
  if (!WithinBusyLimit()) return Fail(context, OP_ERR_BUSY_TIMEOUT, true);
  *repeat = true;
  return true;
}

bool CDFUThread::WithinBusyLimit() const {
  return EngineNow() - busySince < std::chrono::milliseconds(busyLimitMs);
}

uint32_t CDFUThread::BoundedBusyWait(uint32_t wait) const {
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                           EngineNow() - busySince)
                           .count();
  if (elapsed < 0) return std::min(wait, busyLimitMs);
  if (static_cast<uint64_t>(elapsed) >= busyLimitMs) return 0;
  return std::min<uint32_t>(wait, busyLimitMs - static_cast<uint32_t>(elapsed));
}

bool CDFUThread::FinishElementWalk(OperationContext* context, uint32_t lastElementDone) {
  if (lastElementDone == 0) {
    // No element at elementIndex: the image changed under the operation.
    // Ending without a result would leave the caller waiting for a progress
    // of 100 that never comes.
    return Fail(context, OP_ERR_BAD_PARAMETER, false);
  }
  SettleToIdle(context);
  context->progress = 100;
  PublishContext(*context);
  return false;
}

bool CDFUThread::ChunkFull(const OperationContext& context) const {
  if (!scheme.CarriesCommands() || context.blockNumber != LastBlockOfChunk()) return false;
  const ImageElement* element = TransferElement(context);
  return element != nullptr && (uint64_t{chunkFirstBlock} + blocksPerPointer) * context.blockSize < element->size;
}

bool CDFUThread::PublishBlockProgress(OperationContext* context) {
  if (scheme.numbering == BlockScheme::Numbering::kPlain) {
    // One element, its blocks counted from 0; none sent yet reads as 0.
    if (context->blockNumber != PLAIN_NO_BLOCK_YET && totalBlocks != 0) {
      const uint64_t done = std::min<uint64_t>(uint64_t{context->blockNumber} + 1, totalBlocks);
      context->progress = static_cast<uint8_t>(done * 99 / totalBlocks);
    }
    PublishContext(*context);
    return true;
  }
  if (!scheme.IsDataBlock(context->blockNumber)) return false;
  uint32_t done = chunkFirstBlock + context->blockNumber - 2;
  const CImage* image = context->image;
  if (image != nullptr && image->isValid != 0 && context->blockSize != 0) {
    for (uint32_t i = 0; i < context->elementIndex && i < image->ElementCount(); ++i) {
      done += CeilDiv(image->ElementAt(i)->size, context->blockSize);
    }
  }
  // No blocks to count (an image of empty elements) leaves progress alone
  // rather than dividing by zero.
  if (totalBlocks != 0) {
    context->progress = static_cast<uint8_t>(static_cast<uint64_t>(done) * 99 / totalBlocks);
  }
  PublishContext(*context);
  return true;
}
