// The DfuSe commands that act on a whole device, against the virtual device.
#include "operations/dfuse_command.h"

#include <gtest/gtest.h>

#include "operations/engine_test_support.h"

namespace {

class DfuseCommandTest : public SimEngineTest {
 protected:
  void SetUp() override {
    SimEngineTest::SetUp();
    SetDfuseResetLimit(300);
  }
  void TearDown() override {
    SetDfuseResetLimit(OP_DFUSE_RESET_LIMIT_MS);
    SetDfuseCommandLimit(OP_DFUSE_COMMAND_LIMIT_MS);
    SimEngineTest::TearDown();
  }
  void InstallProtected(const std::string& faults = "") {
    Install(faults, [](SimProfile* p) { p->readoutProtected = true; });
  }
  // The number of the request that carries the command, from a clean run.
  uint32_t CommandNumber() {
    InstallProtected();
    EXPECT_EQ(RunDfuseCommand(backend->CurrentPath(), DFUSE_CMD_READ_UNPROTECT, true), RESULT_OK);
    const uint32_t number = RequestNumber("DNLOAD 0 0 1");
    SimUninstall();
    return number;
  }
  // The number of the first status request after the command.
  uint32_t StatusAfterCommand() {
    Install();
    EXPECT_EQ(RunDfuseCommand(backend->CurrentPath(), DFUSE_CMD_MASS_ERASE, false), RESULT_OK);
    const uint32_t number = RequestNumber("DNLOAD 0 0 1") + 1;
    SimUninstall();
    return number;
  }
};

TEST_F(DfuseCommandTest, MassEraseEndsAtOnceWhenTheDeviceAnswersAStateOfNoWork) {
  const uint32_t status = StatusAfterCommand();
  struct Case {
    std::string faults;
    StatusCode result;
  } cases[] = {
      // Busy, then done.
      {"status=0x00:4@" + std::to_string(status), RESULT_OK},
      // dfuIDLE, or the application's idle state: the command was not taken.
      {"status=0x00:2@" + std::to_string(status) + "-", OP_ERR_BAD_FIRMWARE_STATE},
      {"status=0x00:0@" + std::to_string(status) + "-", OP_ERR_BAD_FIRMWARE_STATE},
      // Busy for ever: the limit ends it.
      {"status=0x00:4@" + std::to_string(status) + "-", OP_ERR_UNEXPECTED},
  };
  SetDfuseCommandLimit(50);
  for (const Case& c : cases) {
    Install(c.faults);
    EXPECT_EQ(RunDfuseCommand(backend->CurrentPath(), DFUSE_CMD_MASS_ERASE, false), c.result) << c.faults;
    // One status request before the command, one after it, then the abort.
    const std::vector<std::string> requests = ClassRequests();
    if (c.result == OP_ERR_BAD_FIRMWARE_STATE) {
      EXPECT_EQ(Only(requests, {"GETSTATUS"}).size(), 2u) << c.faults;
      EXPECT_EQ(requests.back().rfind("ABORT", 0), 0u) << c.faults;
    }
    SimUninstall();
  }
}

TEST_F(DfuseCommandTest, UnprotectSucceedsOnlyWhenTheDeviceLeavesTheBus) {
  const uint32_t command = CommandNumber();
  ASSERT_NE(command, 0u);
  struct Case {
    std::string faults;
    StatusCode result;
  };
  const Case cases[] = {
      {"", RESULT_OK},
      // The command is refused: the device stays, protected.
      {"stall@" + std::to_string(command), DEV_ERR_CONTROL_TRANSFER},
      // Taken, but every status request after it stalls: still listed.
      {"stall@" + std::to_string(command + 1) + "-", DEV_ERR_CONTROL_TRANSFER},
      // Refused with an error status.
      {"status=0x0B@" + std::to_string(command + 1), OP_ERR_DFU_ERROR},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.faults);
    InstallProtected(c.faults);
    const std::string path = backend->CurrentPath();
    EXPECT_EQ(RunDfuseCommand(path, DFUSE_CMD_READ_UNPROTECT, true), c.result);
    EXPECT_EQ(backend->CurrentPath() != path, c.result == RESULT_OK);
    SimUninstall();
  }
}

}  // namespace
