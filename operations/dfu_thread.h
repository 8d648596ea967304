// What every DFU operation shares: the operation's record behind a lock, the
// device facts read once at construction, bringing the device to dfuIDLE, the
// next-block arithmetic, and one guarded transfer routine behind the DfuSe
// commands and the data blocks, which follows the operation's block scheme.
#ifndef ZUVA_OPERATIONS_DFU_THREAD_H_
#define ZUVA_OPERATIONS_DFU_THREAD_H_

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "device/dfu_requests.h"
#include "operations/block_scheme.h"
#include "operations/operation_context.h"
#include "operations/poll_schedule.h"
#include "operations/st_thread.h"
#include "platform/wake_signal.h"
#include "protocol/dfu.h"

// Tolerated bad statuses while the device is busy, and attempts of a request.
constexpr int32_t OP_RETRY_BUDGET = 3;
// Rounds of clear-status before a DfuSe command while the device stays in
// dfuERROR.
constexpr uint32_t OP_CLEAR_ERROR_ROUNDS = 3;

// The longest one command or block may keep the device busy before the
// operation gives up with OP_ERR_BUSY_TIMEOUT (the DFU busy limit). It also
// bounds every single wait that a busy answer announces: a poll time-out of
// hours is cut to what is left of the limit, and the status request after it
// ends the operation when the device is still busy.
constexpr uint32_t OP_BUSY_LIMIT_MS = DFU_BUSY_LIMIT_MS;
// The shortest wait before a status request while the device is busy,
// whatever poll time-out it announces: a time-out of 0 would otherwise mean
// thousands of requests a second. (The first busy answer to a request that
// announces 0 is followed by a status request at once.)
constexpr uint32_t OP_MIN_POLL_INTERVAL_MS = 1;

// blockNumber of a plain DFU operation before its first block.
constexpr uint32_t PLAIN_NO_BLOCK_YET = 0xFFFFFFFF;

// The DfuSe data blocks that one address pointer reaches: wire numbers 2 to
// 0xFFFF. A longer element is read in chunks of this many blocks, each after
// a set-address command naming its start.
constexpr uint32_t DFUSE_BLOCKS_PER_POINTER = 0xFFFF - DFUSE_FIRST_DATA_BLOCK + 1;

// The busy limit of the operations constructed from now on; tests shorten it.
void SetBusyLimit(uint32_t milliseconds);

// The wait before the next status request after a busy answer.
uint32_t BusyPollInterval(const DfuStatus& status);

class CDFUThread : public CSTThread {
 public:
  // Reads the device facts (opening the device at caller->devicePath for a
  // moment) and takes the worker's record from *caller. Writes the caller's
  // `result` (RESULT_OK, DEV_ERR_OPEN_FAILED or OP_ERR_UNEXPECTED) and, once
  // the descriptor is read, its `blockSize`, cut to the scheme's largest
  // block.
  explicit CDFUThread(OperationContext* caller, const BlockScheme& blocks = DFUSE_BLOCKS);
  // Neither halts the worker nor closes a device: Halt comes first.
  ~CDFUThread() override;

  // Ends the worker; a worker that was interrupted gets a DFU_ABORT sent to
  // its device, and the device the worker opened is closed.
  bool Halt(uint32_t* exitCode = nullptr) override;
  uint32_t StepInterval() override;
  // Wakes the console once more when the worker ends, however it ended.
  uint32_t WorkerMain() override;

  virtual void ReadContext(OperationContext* out);
  // Copies the record whole into the shared one; the shared publishCount goes
  // up by one whatever the copy holds. The activity signal is set only when
  // progress or result changed.
  virtual void PublishContext(const OperationContext& in);
  // Sets up the next block of the current element. *elementDone is set when
  // the element is complete; the result tells whether there is more to do
  // (see the definition).
  virtual bool AdvanceBlock(OperationContext* context, uint32_t* elementDone);
  virtual bool SettleToIdle(OperationContext* context);
  virtual bool SendEraseCommand(OperationContext* context);
  virtual bool SendSetAddressCommand(OperationContext* context);
  virtual bool SendDownloadBlock(OperationContext* context);
  virtual bool ReceiveUploadBlock(OperationContext* context);

  // Set by the launcher when the operation is registered.
  OperationId Id() const { return id; }
  void SetId(OperationId value) { id = value; }
  // Set when a publication changes progress or result, and when the worker
  // ends; the console waits on it between polls.
  WakeSignal* ActivitySignal() { return &activity; }

  const DfuFunctionalDescriptor& FunctionalDescriptor() const { return functionalDescriptor; }
  uint32_t TotalBlocks() const { return totalBlocks; }

 protected:
  // A step that threw has ended the work: the record says so, or the caller
  // would wait for ever.
  void OnStepException() override;
  // The command or block the record names, as the scheme sends it: formed
  // (or refused without a request), prepared, requested, its status
  // checked, up to three attempts; then the wait when the device is busy.
  bool TransferBlock(OperationContext* context);

  // Sets result, publishes and, when asked, sends DFU_ABORT (its own result
  // ignored). Returns false, the value a failing step returns. The record's
  // lastRequest names the failed request that explains the failure, if one
  // does (see the definition).
  bool Fail(OperationContext* context, StatusCode result, bool abort);
  // The same, with the record naming `request` (a DFU request number, 0xFF
  // for none) and its result as the explanation.
  bool FailAfterRequest(OperationContext* context, StatusCode result, bool abort, uint8_t request,
                        StatusCode requestResult);
  // Sets phase and publishes: done before every request.
  void EnterPhase(OperationContext* context, uint32_t phase);
  // Opens the device, selects `alternate` and settles to dfuIDLE; false
  // (with the operation ended) when any of it fails. A null `alternate` has
  // nothing to select: OP_ERR_BAD_PARAMETER once the device is open.
  bool OpenAndSettle(OperationContext* context, const uint8_t* alternate);
  // The first step of an erase, a download or an upload: open the device,
  // select the image's alternate setting, settle to dfuIDLE. True when the
  // walk over the elements begins (elementIndex is then 0); false when the
  // step ends (failure, or an image without elements, which is done).
  bool BeginElementWalk(OperationContext* context);
  // The walk has run out of blocks: after the last element the device is
  // settled and progress reads 100. Returns false, the end of the work.
  bool FinishElementWalk(OperationContext* context, uint32_t lastElementDone);
  // The step after a busy answer: asks for the status, then waits on, lets
  // the next step go on, or sends the last request again (RepeatRequest)
  // when the device answered it badly. The wait ends at dfuDNLOAD-IDLE, and
  // after an upload block at dfuUPLOAD-IDLE too. False when the operation
  // ends (through BusyStepEnded when the status check ended it).
  bool BusyStep(OperationContext* context);
  // Sends again the request that the device answered badly while busy.
  // Every operation that sends through TransferBlock has its own; an
  // operation that sends nothing there has nothing to repeat and fails.
  virtual bool RepeatRequest(OperationContext* context);
  // The status check of a busy step has ended the operation (its result is
  // in the record); what the step returns then.
  virtual bool BusyStepEnded(OperationContext* context);
  // Progress over the data blocks already sent, when blockNumber names a
  // data block; publishes and returns true then.
  bool PublishBlockProgress(OperationContext* context);
  // Ends the worker's part of a halt: joins the worker and closes the
  // device, with a DFU_ABORT first when asked and the worker was interrupted.
  bool HaltAndClose(uint32_t* exitCode, bool abortIfInterrupted);
  // Changes only the shared progress, so that a phase changed meanwhile by
  // another thread is never put back.
  virtual void SetSharedProgress(uint8_t progress);
  // Changes the launch record's blockSize before the worker exists (no
  // publication).
  void SetLaunchBlockSize(uint16_t blockSize);
  // Data blocks of the image at a block size; 0 for no image or size 0.
  static uint32_t CountBlocks(const CImage* image, uint32_t blockSize);

  // How the blocks travel; chosen by the constructor.
  const BlockScheme scheme;
  DfuFunctionalDescriptor functionalDescriptor{};
  // bInterfaceNumber of the DFU interface, the one DFU_DETACH names.
  uint32_t dfuInterfaceNumber = 0;
  uint32_t dfuAlternateCount = 0;
  uint32_t nextWaitMs = 0;
  int32_t retriesLeft = OP_RETRY_BUDGET;
  // Set by TransferBlock when the device took its request in, or, after a
  // failed one, still answered the state request that followed (it was
  // there to refuse it); false when every attempt found nothing to reach.
  bool requestReachedDevice = false;
  // The last request TransferBlock sent was an upload block.
  bool lastRequestUpload = false;
  uint32_t totalBlocks = 0;

  // True while the request that made the device busy has kept it busy for
  // less than the limit.
  bool WithinBusyLimit() const;
  // `wait` cut to the time left before the busy limit (0 once it is over).
  uint32_t BoundedBusyWait(uint32_t wait) const;
  // DfuSe: the data blocks of the current element that lie before the
  // current chunk (a multiple of blocksPerPointer; 0 for an element
  // that one pointer reaches). The set-address command names the chunk's
  // start, and block n lies at (chunkFirstBlock + n - 2) x blockSize in the
  // element. The worker's alone: the record's blockNumber stays the wire
  // number.
  uint32_t chunkFirstBlock = 0;
  // DfuSe: the data blocks one address pointer covers. All that the 16-bit
  // numbers reach (DFUSE_BLOCKS_PER_POINTER) while the blocks are as large
  // as the device places them; 1 when the device's transfer size is larger
  // than a block may be, so that every block starts after its own pointer.
  uint32_t blocksPerPointer = DFUSE_BLOCKS_PER_POINTER;
  // DfuSe: the wire number of the last block the current pointer reaches.
  uint32_t LastBlockOfChunk() const { return DFUSE_FIRST_DATA_BLOCK + blocksPerPointer - 1; }
  // DfuSe: the last block that the current pointer reaches was just
  // transferred, and the element goes on after it.
  bool ChunkFull(const OperationContext& context) const;

  // A plain DFU operation's launch check: the caller's result becomes
  // OP_ERR_BAD_PARAMETER for an image that is not one element and
  // OP_ERR_UNEXPECTED without a transfer size.
  static void CheckPlainLaunch(OperationContext* caller);
  // Plain DFU: sets up the block after the current one of the image's one
  // element (block 0 first). False when the element is complete; blockNumber
  // then names the block after the last and blockLength is 0.
  bool AdvancePlainBlock(OperationContext* context);
  // Plain DFU: the length of the block at blockNumber.
  static uint32_t PlainBlockLength(const OperationContext& context);
  // Starts the busy time of a wait that is no request's (manifestation).
  void RestartBusyTime();

 private:

  // The element a transfer works on, or null when the image or the index is
  // not valid.
  static const ImageElement* TransferElement(const OperationContext& context);

  // The request a transfer sends, as the scheme forms it from the record.
  struct BlockRequest {
    bool download = false;
    uint16_t wireNumber = 0;
    // A data block; else a DfuSe command in block 0.
    bool data = false;
    // Where a data block lies in the element.
    uint64_t offset = 0;
    // Null only for a command to the whole device (its code alone).
    const ImageElement* element = nullptr;
    // A command's code, taken from bits 16..23 of the record's blockNumber
    // before the record keeps the wire number: a retry rebuilds it.
    uint8_t command = 0;
  };
  // What the device's answer to a request means.
  enum class Answer { kTaken, kRepeat, kEnded };
  // False when the record names nothing that can be sent (no request then).
  bool FormRequest(const OperationContext& context, BlockRequest* request) const;
  // Fills the block buffer and the record's address and number; a command
  // clears dfuERROR first. False when the operation ended.
  bool PrepareRequest(OperationContext* context, const BlockRequest& request);
  // The request itself; an upload's block goes to the sink or the element.
  // *shortBlock: the upload returned less than asked for.
  StatusCode SendRequest(OperationContext* context, const BlockRequest& request, bool* shortBlock);
  Answer CheckAnswer(OperationContext* context, const BlockRequest& request, StatusCode sent, bool shortBlock);
  // The wait before the next step: the device's announced poll time-out
  // while it is busy (bounded by the busy limit), else none.
  void ScheduleBusyPoll(const OperationContext& context, uint8_t command);
  // Requests DFU_GETSTATE and clears dfuERROR before a DfuSe command; false
  // (with the operation ended) when the device stays in dfuERROR.
  bool ClearErrorBeforeCommand(OperationContext* context);
  // After a failed request or status: DFU_GETSTATE and, in dfuERROR,
  // DFU_CLRSTATUS. False (with the operation ended) when the state cannot be
  // read.
  bool RecoverAfterFailedRequest(OperationContext* context);
  // On a composite device: the DFU interface's own number and functional
  // descriptor, found by its class.
  void ReadCompositeDfuInterface(DeviceHandle device);
  // GETSTATUS into the record's deviceStatus (only on success).
  StatusCode GetStatusInto(OperationContext* context);
  // An early status request failed or met an error: the device is polled
  // on its announced time from now on, and the record says so.
  void FallBackToAnnouncedPolls(OperationContext* context);
  // The status request of a busy step. False when the operation ends; true
  // to go on, with *repeat set when the last request met a bad status and
  // is to be sent again now.
  bool PollWhileBusy(OperationContext* context, bool uploadStates, bool* repeat);
  // After an early status request failed and the device's state was read
  // (and an error cleared): poll again, go on, or send the request again.
  bool ResumeAfterRefusedPoll(OperationContext* context, bool uploadStates, bool* repeat);

  // When a busy device is asked for its status again.
  CPollSchedule poll;
  OperationContext sharedContext;
  std::mutex contextLock;
  WakeSignal activity;
  OperationId id = OP_INVALID_ID;
  // The block a transfer sends or receives; one per operation, sized at
  // construction, so that a transfer never copies more than its block. It is
  // not cleared: every request fills the bytes it sends, and only the pages
  // that blocks reach take memory (several devices flashed at once each
  // have operations of their own).
  std::unique_ptr<uint8_t[]> blockBuffer;
  // A command or block as a transfer receives it: its element, chunk and
  // block number, so that a repeat of the same request counts as the same.
  struct RequestKey {
    uint32_t element = UINT32_MAX;
    uint32_t chunk = UINT32_MAX;
    uint32_t block = UINT32_MAX;
    bool operator==(const RequestKey&) const = default;
  };
  // The request that the busy time is counted for, and when it was first
  // sent.
  RequestKey busyRequest;
  std::chrono::steady_clock::time_point busySince{};
  // The last request whose busy answer announcing 0 ms was followed by a
  // status request at once.
  RequestKey immediatePollRequest;
  uint32_t busyLimitMs;
};

#endif  // ZUVA_OPERATIONS_DFU_THREAD_H_
