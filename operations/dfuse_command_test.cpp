// The whole-device DfuSe commands against the virtual device.
#include "operations/dfuse_command.h"

#include <gtest/gtest.h>

#include "operations/engine_test_support.h"

namespace {

class DfuseCommandTest : public SimEngineTest {
 protected:
  void TearDown() override {
    SetDfuseCommandLimit(OP_DFUSE_COMMAND_LIMIT_MS);
    SimEngineTest::TearDown();
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

}  // namespace
