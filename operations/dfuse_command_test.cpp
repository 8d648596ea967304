// The DfuSe commands that act on a whole device, run by the engine against
// the virtual device.
#include "operations/dfuse_command.h"

#include <gtest/gtest.h>

#include "operations/engine_clock.h"
#include "operations/engine_test_support.h"

namespace {

class DfuseCommandTest : public SimEngineTest {
 protected:
  void SetUp() override {
    SimEngineTest::SetUp();
    SetDfuseResetLimit(300);
  }
  void TearDown() override {
    SimEngineTest::TearDown();
    SetDfuseResetLimit(OP_DFUSE_RESET_LIMIT_MS);
  }
  void InstallProtected(const std::string& faults = "") {
    Install(faults, [](SimProfile* p) { p->readoutProtected = true; });
  }
  // The number of the request that carries the command, from a clean run.
  uint32_t CommandNumber(OperationCode opCode) {
    if (opCode == OP_CODE_READ_UNPROTECT) {
      InstallProtected();
    } else {
      Install();
    }
    EXPECT_EQ(Run(Context(opCode, nullptr)).result, RESULT_OK);
    const uint32_t number = RequestNumber("DNLOAD 0 0 1");
    SimUninstall();
    return number;
  }
};

TEST_F(DfuseCommandTest, MassEraseSettlesSendsTheCodeAloneAndAbortsOnceTheDeviceIsDone) {
  Install();
  const OperationContext final = Run(Context(OP_CODE_MASS_ERASE, nullptr));
  EXPECT_EQ(final.result, RESULT_OK);
  EXPECT_EQ(final.progress, 100);
  const std::vector<std::string> expected = {
      "GETSTATUS 0 0 6", "GETSTATUS 0 0 6",                     // settle
      "GETSTATE 0 0 1",  "DNLOAD 0 0 1",    "GETSTATUS 0 0 6",  // the command, busy
      "GETSTATUS 0 0 6", "ABORT 0 0 0"};                       // done, back to dfuIDLE
  EXPECT_EQ(ClassRequests(), expected);
  for (const SimRequestRecord& r : Recorder()->RequestLog()) {
    if (r.name == "DNLOAD") {
      EXPECT_EQ(r.data, std::vector<uint8_t>{DFUSE_CMD_MASS_ERASE});
    }
  }
  EXPECT_EQ(Memory(0x08000000, 0x4000), std::vector<uint8_t>(0x4000, 0xFF));
}

TEST_F(DfuseCommandTest, MassEraseRecoversAsEveryOperationDoesAndEndsWithWhatTheDeviceSaid) {
  const uint32_t command = CommandNumber(OP_CODE_MASS_ERASE);
  ASSERT_NE(command, 0u);
  const std::string dnload = std::to_string(command);
  const std::string status = std::to_string(command + 1);
  struct Case {
    std::string faults;
    StatusCode result;
    uint8_t bStatus;  // of the final record
    // A planned status replaces the work the device was about to do: only
    // a command sent again after a failure erases.
    bool erased;
  } cases[] = {
      // Busy, then done.
      {"status=0x00:4@" + status, RESULT_OK, DFU_STATUS_OK, false},
      // One stall of the command, or one error status after it: sent again.
      {"stall@" + dnload, RESULT_OK, DFU_STATUS_OK, true},
      {"status=0x04@" + status, RESULT_OK, DFU_STATUS_OK, true},
      // dfuIDLE, or the application's idle state: the command was not taken.
      {"status=0x00:2@" + status + "-", OP_ERR_BAD_FIRMWARE_STATE, DFU_STATUS_OK, false},
      {"status=0x00:0@" + status + "-", OP_ERR_BAD_FIRMWARE_STATE, DFU_STATUS_OK, false},
      // Busy for ever: the engine's busy limit ends it.
      {"status=0x00:4@" + status + "-", OP_ERR_BUSY_TIMEOUT, DFU_STATUS_OK, false},
      // An error every time: the device's own status stays in the record.
      {"status=0x04@" + status + "-", OP_ERR_UNEXPECTED, DFU_STATUS_ERR_ERASE, false},
      // An error while busy, every time.
      {"status=0x00:4@" + status + ",status=0x03@" + std::to_string(command + 2) + "-", OP_ERR_UNEXPECTED,
       DFU_STATUS_ERR_WRITE, false},
      // Every request stalls from the command on: nothing to recover.
      {"stall@" + dnload + "-", OP_ERR_UNEXPECTED, DFU_STATUS_OK, false},
  };
  SetBusyLimit(50);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.faults);
    Install(c.faults);
    ASSERT_TRUE(Device()->WriteMemory(0, 0x08000000, Pattern(16)));
    const OperationContext final = Run(Context(OP_CODE_MASS_ERASE, nullptr));
    EXPECT_EQ(final.result, c.result);
    EXPECT_EQ(final.deviceStatus.bStatus, c.bStatus);
    EXPECT_EQ(Memory(0x08000000, 16) == std::vector<uint8_t>(16, 0xFF), c.erased);
    SimUninstall();
  }
}

TEST_F(DfuseCommandTest, ProtectedDeviceRefusesTheMassEraseWithItsStatus) {
  InstallProtected();
  const OperationContext final = Run(Context(OP_CODE_MASS_ERASE, nullptr));
  EXPECT_EQ(final.result, OP_ERR_UNEXPECTED);
  EXPECT_EQ(final.deviceStatus.bStatus, 0x0B);  // errVENDOR
}

TEST_F(DfuseCommandTest, UnprotectSucceedsOnlyWhenTheDeviceLeavesTheBus) {
  const uint32_t command = CommandNumber(OP_CODE_READ_UNPROTECT);
  ASSERT_NE(command, 0u);
  const std::string after = std::to_string(command + 1);
  struct Case {
    std::string faults;
    StatusCode result;
    // Whether the listing decided: a failure published before the wait
    // would have ended the operation there.
    bool waited;
  };
  const Case cases[] = {
      {"", RESULT_OK, true},
      // One stall of the command: sent again, and the device resets.
      {"stall@" + std::to_string(command), RESULT_OK, true},
      // The command fails every time: the device may have gone with it.
      {"stall@" + std::to_string(command) + "-", OP_ERR_UNEXPECTED, true},
      // Taken, but every request after it stalls: still listed.
      {"stall@" + after + "-", OP_ERR_UNEXPECTED, true},
      // Taken and done, but the device stays on the bus.
      {"status=0x00:5@" + after, OP_ERR_UNEXPECTED, true},
      // Refused with an error status each time: no wait.
      {"status=0x0B@" + after + "-", OP_ERR_UNEXPECTED, false},
      // A state that says the command was not taken.
      {"status=0x00:2@" + after, OP_ERR_BAD_FIRMWARE_STATE, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.faults);
    InstallProtected(c.faults);
    const std::string path = backend->CurrentPath();
    const OperationContext final = Run(Context(OP_CODE_READ_UNPROTECT, nullptr));
    EXPECT_EQ(final.result, c.result);
    EXPECT_EQ(final.phase == PHASE_WAIT_REMOVAL, c.waited);
    EXPECT_EQ(backend->CurrentPath() != path, c.result == RESULT_OK);
    SimUninstall();
  }
}

TEST_F(DfuseCommandTest, UnprotectWaitsForTheDepartureOnTheEngineClock) {
  CVirtualEngineClock clock;
  SetVirtualEngineClock(&clock);
  SetDfuseResetLimit(OP_DFUSE_RESET_LIMIT_MS);
  const uint32_t command = CommandNumber(OP_CODE_READ_UNPROTECT);
  const uint64_t before = clock.ElapsedMs();
  // The device takes the command and stays.
  InstallProtected("status=0x00:5@" + std::to_string(command + 1));
  const OperationContext final = Run(Context(OP_CODE_READ_UNPROTECT, nullptr));
  SetVirtualEngineClock(nullptr);
  EXPECT_EQ(final.result, OP_ERR_UNEXPECTED);
  EXPECT_EQ(final.phase, PHASE_WAIT_REMOVAL);
  EXPECT_GE(clock.ElapsedMs() - before, OP_DFUSE_RESET_LIMIT_MS);
  EXPECT_LT(clock.ElapsedMs() - before, OP_DFUSE_RESET_LIMIT_MS + 1000);
}

}  // namespace
