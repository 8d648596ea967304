#include "app/status_text.h"

#include "platform/console.h"

namespace {

struct StatusText {
  StatusCode status;
  const char* text;
};

// Only the engine's codes have words; everything else is shown as its value.
constexpr StatusText APP_STATUS_TEXTS[] = {
    {RESULT_OK, "Error Code: no error (!)\n"},
    {OP_ERR_THREAD_LAUNCH, "Error Code: Unable to launch operation (Thread problem)\n"},
    {OP_ERR_ALREADY_RUNNING, "Error Code: DFU already running\n"},
    {OP_ERR_BAD_PARAMETER, "Error Code: Bad parameter\n"},
    {OP_ERR_BAD_FIRMWARE_STATE, "Error Code: Bad state machine in firmware\n"},
    {OP_ERR_UNEXPECTED, "Error Code: Unexpected error\n"},
    // The console has one text for every device that does not answer as it
    // should, the one that stays busy included.
    {OP_ERR_BUSY_TIMEOUT, "Error Code: Unexpected error\n"},
    {OP_ERR_DFU_ERROR, "Error Code: DFU error\n"},
    {OP_ERR_RETRY, "Error Code: Retry error\n"},
};

}  // namespace

void PrintStatusText(StatusCode status) {
  for (const StatusText& entry : APP_STATUS_TEXTS) {
    if (entry.status == status) {
      ConsolePrintf("%s", entry.text);
      return;
    }
  }
  ConsolePrintf("Error Code: Unknown error 0x%08X.\n", static_cast<unsigned>(status));
}
