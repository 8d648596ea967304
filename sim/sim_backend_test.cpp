#include "sim/sim_backend.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#if !defined(_WIN32)
#include <sys/resource.h>
#endif

#include "platform/device_notifier.h"
#include "platform/driver_port.h"
#include "platform/text.h"
#include "platform/wake_signal.h"
#include "sim/sim_environment.h"
#include "sim/sim_test_support.h"

namespace {

class CRecordingSink : public DeviceEventSink {
 public:
  void OnDeviceChange(const DeviceChangeEvent& event) override { events.push_back(event); }
  std::vector<DeviceChangeEvent> events;
};

std::string TempPath(const std::string& name) {
  auto dir = std::filesystem::temp_directory_path() /
             ("zuva-sim-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
              "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
  std::filesystem::create_directories(dir);
  return (dir / name).string();
}

// Sets or (with null) removes an environment variable of this process.
void SetVariable(const char* name, const char* value) {
#ifdef _WIN32
  _putenv_s(name, value != nullptr ? value : "");
#else
  if (value != nullptr) {
    ::setenv(name, value, 1);
  } else {
    ::unsetenv(name);
  }
#endif
}

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

class SimBackendTest : public ::testing::Test {
 protected:
  void TearDown() override { SimUninstall(); }

  std::shared_ptr<CSimBackend> Install(SimDeviceOptions options = {}) {
    std::string error;
    auto backend = SimInstall(std::move(options), &error);
    EXPECT_NE(backend, nullptr) << error;
    return backend;
  }

  std::string StringDescriptor(CDfuRequester* device, uint8_t index) {
    std::vector<uint8_t> answer;
    if (!device->Ioctl(IOCTL_DFU_GET_STRING_DESCRIPTOR, {index, 0x09, 0x04}, &answer, 512) ||
        answer.size() < 2 || answer[1] != 3) {
      return "<none>";
    }
    std::vector<uint16_t> units;
    for (size_t i = 2; i + 1 < answer.size(); i += 2) {
      units.push_back(static_cast<uint16_t>(answer[i] | (answer[i + 1] << 8)));
    }
    return Utf16ToConsoleText(units.data(), units.size());
  }
};

TEST_F(SimBackendTest, DefaultDeviceIsListedInDfuModeWithItsDescription) {
  Install();
  std::vector<InterfaceInfo> dfu, app;
  ASSERT_TRUE(EnumerateInterfaces(DFU_INTERFACE_GUID, &dfu));
  ASSERT_TRUE(EnumerateInterfaces(APP_INTERFACE_GUID, &app));
  ASSERT_EQ(dfu.size(), 1u);
  EXPECT_EQ(dfu[0].path, "sim:0");
  EXPECT_TRUE(dfu[0].hasDescription);
  EXPECT_EQ(dfu[0].description, "Virtual DFU Device");
  EXPECT_TRUE(app.empty());
}

TEST_F(SimBackendTest, ProfileWithoutDescriptionIsListedWithoutOne) {
  SimDeviceOptions options;
  std::string error;
  ASSERT_TRUE(SimParseProfile("timing = fast\n", "test", &options.profile, &error)) << error;
  Install(options);
  std::vector<InterfaceInfo> dfu;
  ASSERT_TRUE(EnumerateInterfaces(DFU_INTERFACE_GUID, &dfu));
  ASSERT_EQ(dfu.size(), 1u);
  EXPECT_FALSE(dfu[0].hasDescription);
}

TEST_F(SimBackendTest, DescriptorsPublishEveryMemoryAndTheFunctionalDescriptor) {
  Install();
  DriverHandle handle = DriverOpen("sim:0");
  ASSERT_NE(handle, DRIVER_INVALID_HANDLE);
  CDfuRequester device = CDfuRequester::ToHandle(handle);

  std::vector<uint8_t> descriptor;
  ASSERT_TRUE(device.Ioctl(IOCTL_DFU_GET_DEVICE_DESCRIPTOR, {}, &descriptor, 18));
  ASSERT_EQ(descriptor.size(), 18u);
  EXPECT_EQ(descriptor[8] | (descriptor[9] << 8), 0x0483);
  EXPECT_EQ(descriptor[10] | (descriptor[11] << 8), 0xDF11);
  EXPECT_EQ(descriptor[12] | (descriptor[13] << 8), 0x2200);
  EXPECT_EQ(descriptor[17], 1);  // one configuration

  ASSERT_TRUE(device.Ioctl(IOCTL_DFU_GET_CONFIGURATION_DESCRIPTOR, {0}, &descriptor, 512));
  // Configuration, four alternate settings of interface 0, functional descriptor.
  ASSERT_EQ(descriptor.size(), 9u + 4 * 9 + 9);
  EXPECT_EQ(descriptor[2] | (descriptor[3] << 8), 54);
  EXPECT_EQ(descriptor[4], 1);
  for (uint8_t k = 0; k < 4; ++k) {
    const uint8_t* alt = &descriptor[9 + 9 * k];
    EXPECT_EQ(alt[1], 4);
    EXPECT_EQ(alt[2], 0);
    EXPECT_EQ(alt[3], k);
    EXPECT_EQ(alt[5], 0xFE);
    EXPECT_EQ(alt[6], 1);
    EXPECT_EQ(alt[7], 2);
    EXPECT_NE(alt[8], 0);
  }
  const std::vector<uint8_t> functional(descriptor.end() - 9, descriptor.end());
  EXPECT_EQ(functional, (std::vector<uint8_t>{9, 0x21, 0x0B, 255, 0, 0x00, 0x08, 0x1A, 0x01}));

  EXPECT_EQ(StringDescriptor(&device, descriptor[9 + 8]),
            "@Internal Flash  /0x08000000/04*016Kg,01*064Kg,03*128Kg");
  EXPECT_EQ(StringDescriptor(&device, descriptor[9 + 3 * 9 + 8]),
            "@Device Feature/0xFFFF0000/01*004 e");
  EXPECT_EQ(StringDescriptor(&device, 200), "<none>");
  DriverClose(handle);
}

TEST_F(SimBackendTest, EraseDownloadUploadAndLeaveThroughTheDriverPort) {
  auto backend = Install();
  CRecordingSink sink;
  auto notifier = DeviceNotifier::Create(&sink, {DFU_INTERFACE_GUID, APP_INTERFACE_GUID});
  DriverHandle handle = DriverOpen("sim:0");
  ASSERT_NE(handle, DRIVER_INVALID_HANDLE);
  CDfuRequester device = CDfuRequester::ToHandle(handle);
  ASSERT_TRUE(device.Ioctl(IOCTL_DFU_SELECT_ALTERNATE_SETTING, {0, 0, 0}, nullptr, 0));

  std::vector<uint8_t> image(2500);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 3);
  ASSERT_TRUE(device.Erase(0x08000000));
  ASSERT_TRUE(device.SetAddress(0x08000000));
  ASSERT_TRUE(device.DnloadAndSettle(2, {image.begin(), image.begin() + 2048}));
  ASSERT_TRUE(device.DnloadAndSettle(3, {image.begin() + 2048, image.end()}));
  ASSERT_TRUE(device.Abort());

  ASSERT_TRUE(device.SetAddress(0x08000000));
  ASSERT_TRUE(device.Abort());
  std::vector<uint8_t> first, second;
  ASSERT_TRUE(device.Upload(2, 2048, &first));
  ASSERT_TRUE(device.Upload(3, 452, &second));
  first.insert(first.end(), second.begin(), second.end());
  EXPECT_EQ(first, image);
  ASSERT_TRUE(device.Abort());

  // The leave request: an empty download, then the status that starts
  // manifestation; the device then leaves the bus.
  ASSERT_TRUE(device.Dnload(0, {}));
  SimStatusAnswer answer;
  ASSERT_TRUE(device.GetStatus(&answer));
  EXPECT_EQ(answer.state, DFU_STATE_MANIFEST);
  EXPECT_EQ(answer.status, DFU_STATUS_OK);

  EXPECT_FALSE(device.GetStatus(&answer));
  EXPECT_EQ(DriverOpen("sim:0"), DRIVER_INVALID_HANDLE);
  std::vector<InterfaceInfo> dfu;
  ASSERT_TRUE(EnumerateInterfaces(DFU_INTERFACE_GUID, &dfu));
  EXPECT_TRUE(dfu.empty());
  PumpThreadMessages();
  ASSERT_EQ(sink.events.size(), 1u);
  EXPECT_EQ(sink.events[0].kind, DeviceChangeKind::kRemoval);
  EXPECT_TRUE(sink.events[0].interfaceClass == DFU_INTERFACE_GUID);
  EXPECT_EQ(sink.events[0].path, "sim:0");
  DriverClose(handle);

  const std::vector<SimRequestRecord> log = backend->Recorder()->RequestLog();
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ(log[log.size() - 2].line,
            std::to_string(log.size() - 1) + " GETSTATUS 0 0 6 -> ok status=0 state=7 poll=0");
  EXPECT_EQ(log.back().line, std::to_string(log.size()) + " GETSTATUS 0 0 6 -> gone");
}

TEST_F(SimBackendTest, ApplicationModeDeviceDetachesAndReturnsInDfuModeUnderANewPath) {
  SimDeviceOptions options;
  std::string error;
  ASSERT_TRUE(
      SimParseProfile("description = App\nmode = application\n", "test", &options.profile, &error))
      << error;
  Install(options);
  CRecordingSink sink;
  auto notifier = DeviceNotifier::Create(&sink, {DFU_INTERFACE_GUID, APP_INTERFACE_GUID});

  std::vector<InterfaceInfo> listed;
  ASSERT_TRUE(EnumerateInterfaces(APP_INTERFACE_GUID, &listed));
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0].path, "sim:0");

  DriverHandle handle = DriverOpen("sim:0");
  ASSERT_NE(handle, DRIVER_INVALID_HANDLE);
  CDfuRequester device = CDfuRequester::ToHandle(handle);
  std::vector<uint8_t> config;
  ASSERT_TRUE(device.Ioctl(IOCTL_DFU_GET_CONFIGURATION_DESCRIPTOR, {0}, &config, 512));
  ASSERT_EQ(config.size(), 27u);
  EXPECT_EQ(config[9 + 7], 1);  // run-time protocol
  EXPECT_EQ(config[18 + 1], 0x21);
  uint8_t state = 0xEE;
  ASSERT_TRUE(device.GetState(&state));
  EXPECT_EQ(state, DFU_STATE_APP_IDLE);
  EXPECT_FALSE(device.Dnload(0, {0x21, 0, 0, 0, 8}));  // no download in application mode

  ASSERT_TRUE(device.Detach(5000));
  EXPECT_FALSE(device.GetState(&state));
  DriverClose(handle);
  EXPECT_EQ(DriverOpen("sim:0"), DRIVER_INVALID_HANDLE);

  PumpThreadMessages();
  ASSERT_EQ(sink.events.size(), 2u);
  EXPECT_EQ(sink.events[0].kind, DeviceChangeKind::kRemoval);
  EXPECT_TRUE(sink.events[0].interfaceClass == APP_INTERFACE_GUID);
  EXPECT_EQ(sink.events[0].path, "sim:0");
  EXPECT_EQ(sink.events[1].kind, DeviceChangeKind::kArrival);
  EXPECT_TRUE(sink.events[1].interfaceClass == DFU_INTERFACE_GUID);
  EXPECT_EQ(sink.events[1].path, "sim:1");

  ASSERT_TRUE(EnumerateInterfaces(DFU_INTERFACE_GUID, &listed));
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0].path, "sim:1");
  handle = DriverOpen("sim:1");
  ASSERT_NE(handle, DRIVER_INVALID_HANDLE);
  CDfuRequester returned = CDfuRequester::ToHandle(handle);
  EXPECT_EQ(returned.StatusState(), DFU_STATE_DFU_IDLE);
  ASSERT_TRUE(returned.Ioctl(IOCTL_DFU_GET_CONFIGURATION_DESCRIPTOR, {0}, &config, 512));
  EXPECT_EQ(config.size(), 9u + 4 * 9 + 9);
  DriverClose(handle);
}

TEST_F(SimBackendTest, LaterDeviceIsAbsentUntilItArrivesAnnounced) {
  SimDeviceOptions options;
  options.profile.arriveAfterMs = 50;
  CRecordingSink sink;
  auto notifier = DeviceNotifier::Create(&sink, {DFU_INTERFACE_GUID});
  auto backend = Install(std::move(options));
  std::vector<InterfaceInfo> dfu;
  ASSERT_TRUE(EnumerateInterfaces(DFU_INTERFACE_GUID, &dfu));
  EXPECT_TRUE(dfu.empty());
  EXPECT_EQ(DriverOpen("sim:0"), DRIVER_INVALID_HANDLE);
  for (int wait = 0; wait < 100 && sink.events.empty(); ++wait) {
    WaitForSignalOrThreadMessages(nullptr, 100);
    PumpThreadMessages();
  }
  ASSERT_EQ(sink.events.size(), 1u);
  EXPECT_EQ(sink.events[0].kind, DeviceChangeKind::kArrival);
  EXPECT_EQ(sink.events[0].path, "sim:0");
  ASSERT_TRUE(EnumerateInterfaces(DFU_INTERFACE_GUID, &dfu));
  EXPECT_EQ(dfu.size(), 1u);
  // Uninstalled before its time, a device never arrives.
  options = {};
  options.profile.arriveAfterMs = 60000;
  Install(std::move(options));
  SimUninstall();
}

TEST_F(SimBackendTest, UnpluggedDeviceFailsEveryLaterRequestAndOpen) {
  SimDeviceOptions options;
  std::string error;
  ASSERT_TRUE(SimParseFaultPlan("unplug@3", &options.faults, &error));
  auto backend = Install(options);
  CRecordingSink sink;
  auto notifier = DeviceNotifier::Create(&sink, {DFU_INTERFACE_GUID});
  DriverHandle handle = DriverOpen("sim:0");
  ASSERT_NE(handle, DRIVER_INVALID_HANDLE);
  CDfuRequester device = CDfuRequester::ToHandle(handle);
  EXPECT_EQ(device.StatusState(), DFU_STATE_DFU_IDLE);
  EXPECT_EQ(device.StatusState(), DFU_STATE_DFU_IDLE);
  EXPECT_EQ(device.StatusState(), 0xEE);
  EXPECT_EQ(device.StatusState(), 0xEE);
  EXPECT_EQ(DriverOpen("sim:0"), DRIVER_INVALID_HANDLE);
  DriverClose(handle);
  PumpThreadMessages();
  ASSERT_EQ(sink.events.size(), 1u);
  EXPECT_EQ(sink.events[0].kind, DeviceChangeKind::kRemoval);
  EXPECT_EQ(sink.events[0].path, "sim:0");
  const auto log = backend->Recorder()->RequestLog();
  ASSERT_EQ(log.size(), 4u);
  EXPECT_EQ(log[1].line, "2 GETSTATUS 0 0 6 -> ok status=0 state=2 poll=0");
  EXPECT_EQ(log[2].line, "3 GETSTATUS 0 0 6 -> gone");
}

// A device that resets itself on the same port: the handle opened before
// reaches nothing, the path is listed again and opens the new appearance.
TEST_F(SimBackendTest, RepluggedDeviceComesBackUnderTheSamePath) {
  SimDeviceOptions options;
  std::string error;
  ASSERT_TRUE(SimParseFaultPlan("replug@2,status-length=2@4", &options.faults, &error));
  auto backend = Install(options);
  CRecordingSink sink;
  auto notifier = DeviceNotifier::Create(&sink, {DFU_INTERFACE_GUID});
  DriverHandle handle = DriverOpen("sim:0");
  ASSERT_NE(handle, DRIVER_INVALID_HANDLE);
  CDfuRequester device = CDfuRequester::ToHandle(handle);
  EXPECT_EQ(device.StatusState(), DFU_STATE_DFU_IDLE);
  EXPECT_EQ(device.StatusState(), 0xEE);
  DriverClose(handle);
  EXPECT_EQ(backend->CurrentPath(), "sim:0");
  std::vector<InterfaceInfo> listed;
  ASSERT_TRUE(EnumerateInterfaces(DFU_INTERFACE_GUID, &listed));
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0].path, "sim:0");
  PumpThreadMessages();
  ASSERT_EQ(sink.events.size(), 2u);
  EXPECT_EQ(sink.events[0].kind, DeviceChangeKind::kRemoval);
  EXPECT_EQ(sink.events[1].kind, DeviceChangeKind::kArrival);
  EXPECT_EQ(sink.events[0].path, "sim:0");
  EXPECT_EQ(sink.events[1].path, "sim:0");
  handle = DriverOpen("sim:0");
  ASSERT_NE(handle, DRIVER_INVALID_HANDLE);
  CDfuRequester again = CDfuRequester::ToHandle(handle);
  EXPECT_EQ(again.StatusState(), DFU_STATE_DFU_IDLE);
  std::vector<uint8_t> answer;
  ASSERT_TRUE(again.Ioctl(IOCTL_DFU_CONTROL_REQUEST, SimClassRequestInput(DFU_REQUEST_GETSTATUS, true, 0, 0, {}, 6),
                          &answer, 6));
  EXPECT_EQ(answer.size(), 2u);
  DriverClose(handle);
  const auto log = backend->Recorder()->RequestLog();
  ASSERT_EQ(log.size(), 4u);
  EXPECT_EQ(log[1].line, "2 GETSTATUS 0 0 6 -> gone");
  EXPECT_EQ(log[3].line, "4 GETSTATUS 0 0 6 -> ok length=2");
}

// The flash file behaves like the device's memory: it holds the old firmware
// from the start, every erase and programmed block reaches it at once (a
// killed process leaves what the device holds), and the next device loads it.
TEST_F(SimBackendTest, FlashFileFollowsTheMemoryAsItChanges) {
  const std::string flash = TempPath("flash.bin");
  std::filesystem::remove(flash);
  SimDeviceOptions options;
  options.flashPath = flash;
  auto backend = Install(options);
  std::vector<uint8_t> old;
  ASSERT_TRUE(backend->Device()->ReadMemory(0, 0x08000000, 0x8000, &old));
  EXPECT_NE(std::vector<uint8_t>(old.begin(), old.begin() + 16), std::vector<uint8_t>(16, 0xFF))
      << "alternate setting 0 starts as old firmware";
  std::vector<uint8_t> file = ReadFile(flash);
  ASSERT_EQ(file.size(), 512u * 1024u);
  EXPECT_EQ(std::vector<uint8_t>(file.begin(), file.begin() + 0x8000), old);

  DriverHandle handle = DriverOpen("sim:0");
  CDfuRequester device = CDfuRequester::ToHandle(handle);
  ASSERT_TRUE(device.Erase(0x08004000));
  file = ReadFile(flash);
  EXPECT_EQ(std::vector<uint8_t>(file.begin() + 0x4000, file.begin() + 0x8000),
            std::vector<uint8_t>(0x4000, 0xFF)) << "the erased sector";
  EXPECT_EQ(std::vector<uint8_t>(file.begin(), file.begin() + 0x4000),
            std::vector<uint8_t>(old.begin(), old.begin() + 0x4000)) << "the sector before it";
  ASSERT_TRUE(device.SetAddress(0x08004000));
  ASSERT_TRUE(device.DnloadAndSettle(2, {1, 2, 3, 4}));
  file = ReadFile(flash);
  EXPECT_EQ(std::vector<uint8_t>(file.begin() + 0x4000, file.begin() + 0x4006),
            (std::vector<uint8_t>{1, 2, 3, 4, 0xFF, 0xFF}));
  DriverClose(handle);
  backend.reset();
  SimUninstall();  // the device goes, and its lock on the file with it

  backend = Install(options);
  std::vector<uint8_t> loaded;
  ASSERT_TRUE(backend->Device()->ReadMemory(0, 0x08004000, 6, &loaded));
  EXPECT_EQ(loaded, (std::vector<uint8_t>{1, 2, 3, 4, 0xFF, 0xFF}));
}

// Two devices on one flash file would overwrite each other's memory: the
// file is locked while its device exists, and a second device is refused.
TEST_F(SimBackendTest, FlashFileIsLockedWhileItsDeviceExists) {
  const std::string flash = TempPath("shared.bin");
  SimDeviceOptions options;
  options.flashPath = flash;
  ASSERT_NE(Install(options), nullptr);
  std::unique_ptr<CDfuDevice> second;
  std::string error;
  EXPECT_FALSE(CDfuDevice::Create(options, &second, &error));
  EXPECT_EQ(error, "virtual device flash file '" + flash + "' is in use by another virtual device");
  SimUninstall();
  EXPECT_TRUE(CDfuDevice::Create(options, &second, &error)) << error;
}

#if !defined(_WIN32)
// Runs in a child process: the file size limit and the signal it raises
// belong to the whole process. Returns 0 when a change the file cannot take
// leaves the device in dfuERROR with errWRITE.
int StatusAfterAWriteThatFails(const std::string& flash) {
  SimDeviceOptions options;
  options.flashPath = flash;
  std::string error;
  if (SimInstall(options, &error) == nullptr) return 2;
  std::signal(SIGXFSZ, SIG_IGN);
  rlimit limit = {};
  limit.rlim_cur = limit.rlim_max = 0x10000;  // the first 64 KiB stay writable
  setrlimit(RLIMIT_FSIZE, &limit);
  CDfuRequester device = CDfuRequester::ToHandle(DriverOpen("sim:0"));
  if (!device.Erase(0x08000000)) return 3;  // inside the limit
  SimStatusAnswer last;
  device.DnloadAndSettle(0, CDfuRequester::Command(0x41, 0x08020000), &last);
  return last.state == DFU_STATE_ERROR && last.status == DFU_STATUS_ERR_WRITE ? 0 : 4;
}

// A flash file that cannot take a change (a full disk; here a file size
// limit) puts the device into dfuERROR with errWRITE, as a failed program
// would, instead of reporting success.
TEST_F(SimBackendTest, FlashFileThatCannotBeWrittenGivesErrWrite) {
  const std::string flash = TempPath("limited.bin");
  std::filesystem::remove(flash);
  EXPECT_EXIT(std::_Exit(StatusAfterAWriteThatFails(flash)), testing::ExitedWithCode(0), "");
}
#endif

TEST_F(SimBackendTest, FlashFileLongerThanTheMemoryIsRefused) {
  const std::string flash = TempPath("long.bin");
  std::ofstream(flash, std::ios::binary) << std::string(512 * 1024 + 1, 'x');
  SimDeviceOptions options;
  options.flashPath = flash;
  std::string error;
  EXPECT_EQ(SimInstall(options, &error), nullptr);
  EXPECT_NE(error.find(flash), std::string::npos) << error;
  EXPECT_EQ(SimInstalledBackend(), nullptr);
  EXPECT_EQ(ReadFile(flash).size(), 512u * 1024u + 1) << "the file is left alone";
}

TEST_F(SimBackendTest, NoFlashFileIsWrittenWhenTheFirstMemoryHasNoSectors) {
  const std::string flash = TempPath("none.bin");
  std::filesystem::remove(flash);
  SimDeviceOptions options;
  std::string error;
  ASSERT_TRUE(SimParseProfile("alt = Internal Flash without a map\n", "p", &options.profile,
                              &error))
      << error;
  options.flashPath = flash;
  ASSERT_NE(Install(options), nullptr);
  SimUninstall();
  EXPECT_FALSE(std::filesystem::exists(flash)) << "a memory without sectors has nothing to keep";
}

TEST_F(SimBackendTest, EnvironmentInstallsTheDefaultDeviceWithTraceAndFaults) {
  const std::string trace = TempPath("trace.txt");
  SetVariable("ZUVA_SIM", "default");
  SetVariable("ZUVA_SIM_TRACE", trace.c_str());
  SetVariable("ZUVA_SIM_FAULTS", "stall@2");
  SetVariable("ZUVA_SIM_FLASH", nullptr);
  ASSERT_TRUE(SimInstallFromEnvironment());
  SetVariable("ZUVA_SIM", nullptr);
  SetVariable("ZUVA_SIM_TRACE", nullptr);
  SetVariable("ZUVA_SIM_FAULTS", nullptr);

  DriverHandle handle = DriverOpen("sim:0");
  ASSERT_NE(handle, DRIVER_INVALID_HANDLE);
  CDfuRequester device = CDfuRequester::ToHandle(handle);
  std::vector<uint8_t> descriptor;
  EXPECT_TRUE(device.Ioctl(IOCTL_DFU_GET_DEVICE_DESCRIPTOR, {}, &descriptor, 18));
  EXPECT_FALSE(device.Ioctl(IOCTL_DFU_GET_STRING_DESCRIPTOR, {4, 0x09, 0x04}, &descriptor, 512));
  EXPECT_TRUE(device.Ioctl(IOCTL_DFU_GET_STRING_DESCRIPTOR, {4, 0x09, 0x04}, &descriptor, 512));
  EXPECT_TRUE(device.Ioctl(IOCTL_DFU_SELECT_ALTERNATE_SETTING, {0, 0, 1}, nullptr, 0));
  uint8_t state;
  EXPECT_TRUE(device.GetState(&state));
  DriverClose(handle);
  SimUninstall();

  std::ifstream in(trace);
  std::string text((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(text,
            "1 GET_DEVICE_DESCRIPTOR -> ok\n"
            "2 GET_STRING_DESCRIPTOR 4 1033 -> stall\n"
            "3 GET_STRING_DESCRIPTOR 4 1033 -> ok\n"
            "4 SELECT_ALTERNATE_SETTING 0 0 1 -> ok\n"
            "5 GETSTATE 0 0 1 -> ok state=2\n");
}

TEST_F(SimBackendTest, EnvironmentListsSeveralDevicesEachWithItsOwnPlanTraceAndSerial) {
#ifdef _WIN32
  const std::string separator = ";";
#else
  const std::string separator = ":";
#endif
  const std::string profile = TempPath("second.profile");
  std::ofstream(profile) << "description = Second\nserial = auto\n";
  const std::string traces[] = {TempPath("one.txt"), TempPath("two.txt")};
  SetVariable("ZUVA_SIM", ("default" + separator + profile).c_str());
  SetVariable("ZUVA_SIM_TRACE", (traces[0] + separator + traces[1]).c_str());
  SetVariable("ZUVA_SIM_FAULTS", ";stall@1");
  ASSERT_TRUE(SimInstallFromEnvironment());
  SetVariable("ZUVA_SIM", nullptr);
  SetVariable("ZUVA_SIM_TRACE", nullptr);
  SetVariable("ZUVA_SIM_FAULTS", nullptr);

  // Listed in the order given, each under its own path.
  std::vector<InterfaceInfo> listed;
  ASSERT_TRUE(EnumerateInterfaces(DFU_INTERFACE_GUID, &listed));
  ASSERT_EQ(listed.size(), 2u);
  EXPECT_EQ(listed[0].path, "sim:0");
  EXPECT_EQ(listed[0].description, "Virtual DFU Device");
  EXPECT_EQ(listed[1].path, "sim:1");
  EXPECT_EQ(listed[1].description, "Second");

  const char* serials[] = {"ZUVA00000001", "SIM0002"};
  for (int i = 0; i < 2; ++i) {
    DriverHandle handle = DriverOpen(listed[i].path);
    ASSERT_NE(handle, DRIVER_INVALID_HANDLE);
    CDfuRequester device = CDfuRequester::ToHandle(handle);
    std::vector<uint8_t> descriptor;
    // The second device's plan stalls its own first request.
    EXPECT_EQ(device.Ioctl(IOCTL_DFU_GET_DEVICE_DESCRIPTOR, {}, &descriptor, 18), i == 0);
    EXPECT_EQ(StringDescriptor(&device, 3), serials[i]);
    DriverClose(handle);
  }
  SimUninstall();
  for (int i = 0; i < 2; ++i) {
    std::ifstream in(traces[i]);
    std::string text((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(text, std::string("1 GET_DEVICE_DESCRIPTOR -> ") + (i == 0 ? "ok" : "stall") +
                        "\n2 GET_STRING_DESCRIPTOR 3 1033 -> ok\n");
  }
}

TEST_F(SimBackendTest, EnvironmentWithABadProfileReportsOnStandardErrorAndInstallsNothing) {
  const std::string profile = TempPath("bad.profile");
  std::ofstream(profile) << "# a comment\nvendor = 0x0483\ncolour = blue\n";
  SetVariable("ZUVA_SIM", profile.c_str());
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  bool installed = SimInstallFromEnvironment();
  std::string err = ::testing::internal::GetCapturedStderr();
  std::string out = ::testing::internal::GetCapturedStdout();
  SetVariable("ZUVA_SIM", nullptr);
  EXPECT_FALSE(installed);
  EXPECT_EQ(out, "");
  EXPECT_NE(err.find(profile), std::string::npos) << err;
  EXPECT_NE(err.find("line 3"), std::string::npos) << err;
  EXPECT_EQ(SimInstalledBackend(), nullptr);
  EXPECT_EQ(DriverOpen("sim:0"), DRIVER_INVALID_HANDLE);
}

TEST_F(SimBackendTest, EmptyEnvironmentInstallsNothing) {
  SetVariable("ZUVA_SIM", nullptr);
  EXPECT_TRUE(SimInstallFromEnvironment());
  EXPECT_EQ(SimInstalledBackend(), nullptr);
}

}  // namespace
