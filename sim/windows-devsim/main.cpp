// zuva-devsim.exe [--profile FILE] [--flash FILE] [--faults PLAN] [--trace FILE]
//                 [--ready FILE] [--winusb]
// The virtual DFU device behind the virtual kernel driver (run under Wine by
// zuva-wine-devsim): serves the driver's pipe with the device model until its
// standard input ends, then writes the flash file back and exits 0.
//
// As with ZUVA_SIM, the fault plan and the trace count every driver request
// that reaches the model. The device node's description follows the profile
// (none without a `description` line), as a device's own entry would name it.
// --ready FILE is created once the driver has connected and the device's
// interface is listed, so that a caller knows when to start its program.
// --winusb serves the device node bound to WinUSB instead of the kernel
// driver's; there the profile's description is the product string the bus
// reported, and the node's own description stays the INF's.
#include <windows.h>
#include <setupapi.h>

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/guid.h"
#include "platform/driver_port.h"
#include "platform/thread_start.h"
#include "sim/fault_plan.h"
#include "sim/profile.h"
#include "sim/windows-devsim/pipe_exchange.h"
#include "sim/windows-driver/devsim_pipe.h"

namespace {

constexpr int DEVSIM_EXIT_USAGE = 2;
constexpr int DEVSIM_EXIT_SETUP = 3;
// The device node that the driver installation creates (hardware id
// root\zuva_dfu, instance 0000).
constexpr char DEVSIM_DEVICE_KEY[] = "System\\CurrentControlSet\\Enum\\ROOT\\ZUVA_DFU\\0000";
// The USB device node bound to WinUSB (hardware id USB\VID_0483&PID_DF11), a
// root device as zuva-driver-install names it.
constexpr char DEVSIM_WINUSB_INSTANCE[] = "ROOT\\USB_VID_0483_PID_DF11\\0000";
constexpr char DEVSIM_WINUSB_DEVICE_KEY[] =
    "System\\CurrentControlSet\\Enum\\ROOT\\USB_VID_0483_PID_DF11\\0000";
// setupapi.dll exports it; MinGW's header does not declare it.
extern "C" BOOL WINAPI SetupDiSetDevicePropertyW(HDEVINFO list, PSP_DEVINFO_DATA device,
                                                 const DEVPROPKEY* key, DEVPROPTYPE type,
                                                 const BYTE* buffer, DWORD size, DWORD flags);

// DEVPKEY_Device_BusReportedDeviceDesc and its type, a string.
const DEVPROPKEY DEVSIM_BUS_REPORTED_DESCRIPTION = {
    {0x540B947E, 0x8B40, 0x45BC, {0xA8, 0xA2, 0x6A, 0x0B, 0x89, 0x4C, 0xBD, 0xA2}}, 4};
constexpr DEVPROPTYPE DEVSIM_PROPERTY_STRING = 0x12;
constexpr DEVPROPTYPE DEVSIM_PROPERTY_EMPTY = 0x01;
// How long the driver may take to connect and show the interface.
constexpr auto DEVSIM_READY_TIMEOUT = std::chrono::seconds(30);

struct Options {
  std::string profile;
  std::string flash;
  std::string faults;
  std::string trace;
  std::string ready;
  bool winUsb = false;
};

bool ParseArguments(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--winusb") {
      options->winUsb = true;
      continue;
    }
    std::string* target = nullptr;
    if (argument == "--profile") target = &options->profile;
    if (argument == "--flash") target = &options->flash;
    if (argument == "--faults") target = &options->faults;
    if (argument == "--trace") target = &options->trace;
    if (argument == "--ready") target = &options->ready;
    if (target == nullptr || i + 1 >= argc) return false;
    *target = argv[++i];
  }
  return true;
}

// The product string the bus reported for the WinUSB node: the profile's
// description, or none.
bool ApplyBusDescription(const SimProfile& profile, std::string* error) {
  HDEVINFO list = SetupDiCreateDeviceInfoList(nullptr, nullptr);
  SP_DEVINFO_DATA node = {};
  node.cbSize = sizeof(node);
  bool applied = list != INVALID_HANDLE_VALUE &&
                 SetupDiOpenDeviceInfoA(list, DEVSIM_WINUSB_INSTANCE, nullptr, 0, &node);
  if (applied) {
    // The same code page as the kernel driver's node, named through the ANSI
    // registry call.
    std::wstring text(profile.description.size() + 1, L'\0');
    const int units = MultiByteToWideChar(CP_ACP, 0, profile.description.c_str(),
                                          static_cast<int>(profile.description.size()),
                                          text.data(), static_cast<int>(text.size()));
    text.resize(units > 0 ? units : 0);
    applied = profile.hasDescription
                  ? SetupDiSetDevicePropertyW(
                        list, &node, &DEVSIM_BUS_REPORTED_DESCRIPTION, DEVSIM_PROPERTY_STRING,
                        reinterpret_cast<const BYTE*>(text.c_str()),
                        static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)), 0)
                  : SetupDiSetDevicePropertyW(list, &node, &DEVSIM_BUS_REPORTED_DESCRIPTION,
                                              DEVSIM_PROPERTY_EMPTY, nullptr, 0, 0) ||
                        GetLastError() == ERROR_NOT_FOUND;
  }
  if (list != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(list);
  if (!applied) *error = "the bus-reported description cannot be set";
  return applied;
}

// Names the device node as the profile names the device. The WinUSB node
// keeps its INF's description unless the device has none at all.
bool ApplyDescription(const SimProfile& profile, bool winUsb, std::string* error) {
  if (winUsb && !ApplyBusDescription(profile, error)) return false;
  if (winUsb && profile.hasDescription) return true;
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, winUsb ? DEVSIM_WINUSB_DEVICE_KEY : DEVSIM_DEVICE_KEY, 0,
                    KEY_SET_VALUE, &key) !=
      ERROR_SUCCESS) {
    *error = "the device node is not installed";
    return false;
  }
  LONG result;
  if (profile.hasDescription) {
    result = RegSetValueExA(key, "DeviceDesc", 0, REG_SZ,
                            reinterpret_cast<const BYTE*>(profile.description.c_str()),
                            static_cast<DWORD>(profile.description.size() + 1));
  } else {
    result = RegDeleteValueA(key, "DeviceDesc");
    if (result == ERROR_FILE_NOT_FOUND) result = ERROR_SUCCESS;
  }
  RegCloseKey(key);
  if (result != ERROR_SUCCESS) *error = "the device description cannot be set";
  return result == ERROR_SUCCESS;
}

bool ReadAll(HANDLE pipe, uint8_t* data, size_t count) {
  while (count > 0) {
    DWORD read = 0;
    if (!ReadFile(pipe, data, static_cast<DWORD>(count), &read, nullptr) || read == 0) return false;
    data += read;
    count -= read;
  }
  return true;
}

bool WriteAll(HANDLE pipe, const uint8_t* data, size_t count) {
  while (count > 0) {
    DWORD written = 0;
    if (!WriteFile(pipe, data, static_cast<DWORD>(count), &written, nullptr) || written == 0) {
      return false;
    }
    data += written;
    count -= written;
  }
  return true;
}

class CPipeServer {
 public:
  CPipeServer(std::shared_ptr<CSimRecorder> recorder, std::string readyPath, bool winUsb)
      : recorder_(std::move(recorder)),
        readyPath_(std::move(readyPath)),
        winUsb_(winUsb),
        pipeName_(winUsb ? DEVSIM_WINUSB_PIPE_NAME_A : DEVSIM_PIPE_NAME_A) {}

  // Serves one driver connection after another; returns only on a failure.
  int Serve() {
    for (;;) {
      if (!ConnectNamedPipe(pipe_, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) {
        std::fprintf(stderr, "zuva-devsim: the driver cannot connect (error %lu)\n",
                     GetLastError());
        return DEVSIM_EXIT_SETUP;
      }
      ServeConnection();
      DisconnectNamedPipe(pipe_);
    }
  }

  bool Create() {
    pipe_ = CreateNamedPipeA(pipeName_,
                             PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE,
                             PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1,
                             DEVSIM_PIPE_REPLY_HEADER_SIZE + DEVSIM_PIPE_MAX_DATA,
                             DEVSIM_PIPE_REQUEST_HEADER_SIZE + DEVSIM_PIPE_MAX_DATA, 0, nullptr);
    return pipe_ != INVALID_HANDLE_VALUE;
  }

  // Ends the process between two exchanges; the flash file already holds
  // what the device holds.
  [[noreturn]] void Stop() {
    lock_.lock();
    std::fflush(nullptr);
    ExitProcess(0);
  }

 private:
  void ServeConnection() {
    std::vector<uint8_t> input(DEVSIM_PIPE_MAX_DATA);
    uint8_t header[DEVSIM_PIPE_REQUEST_HEADER_SIZE];
    while (ReadAll(pipe_, header, sizeof header)) {
      std::lock_guard<std::mutex> hold(lock_);
      DevsimPipeRequest request;
      if (!DevsimDecodeRequest(header, &request)) {
        std::fprintf(stderr, "zuva-devsim: malformed request from the driver\n");
        return;
      }
      if (!ReadAll(pipe_, input.data(), request.inputSize)) return;
      const std::vector<uint8_t> reply = DevsimAnswer(recorder_.get(), request, input.data());
      if (!WriteAll(pipe_, reply.data(), reply.size())) return;
      if (!announced_) {
        AnnounceReady();
        announced_ = true;
      }
    }
  }

  // Whether the system lists the interface the driver shows: the kernel
  // driver's by its class, the WinUSB node's by the class of its registry key
  // (asked directly: this process has no winusb.dll to rely on).
  bool InterfaceListed() const {
    if (!winUsb_) {
      const Guid& listedUnder = recorder_->Device()->Position().dfuMode ? DFU_INTERFACE_GUID
                                                                        : APP_INTERFACE_GUID;
      std::vector<InterfaceInfo> interfaces;
      return EnumerateInterfaces(listedUnder, &interfaces) && !interfaces.empty();
    }
    static const GUID winUsbClass = {DEVSIM_WINUSB_INTERFACE_GUID_FIELDS};
    HDEVINFO list = SetupDiGetClassDevsA(&winUsbClass, nullptr, nullptr,
                                         DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (list == INVALID_HANDLE_VALUE) return false;
    SP_DEVICE_INTERFACE_DATA data = {};
    data.cbSize = sizeof(data);
    const bool listed = SetupDiEnumDeviceInterfaces(list, nullptr, &winUsbClass, 0, &data);
    SetupDiDestroyDeviceInfoList(list);
    return listed;
  }

  // The driver has the device's place; once the system lists the device's
  // interface, programs can find it.
  void AnnounceReady() {
    const auto deadline = std::chrono::steady_clock::now() + DEVSIM_READY_TIMEOUT;
    while (std::chrono::steady_clock::now() < deadline && !InterfaceListed()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (readyPath_.empty()) return;
    std::FILE* ready = std::fopen(readyPath_.c_str(), "wb");
    if (ready != nullptr) std::fclose(ready);
  }

  const std::shared_ptr<CSimRecorder> recorder_;
  const std::string readyPath_;
  const bool winUsb_;
  const char* const pipeName_;
  HANDLE pipe_ = INVALID_HANDLE_VALUE;
  std::mutex lock_;
  bool announced_ = false;
};

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseArguments(argc, argv, &options)) {
    std::fprintf(stderr,
                 "usage: zuva-devsim [--profile FILE] [--flash FILE] [--faults PLAN] "
                 "[--trace FILE] [--ready FILE] [--winusb]\n");
    return DEVSIM_EXIT_USAGE;
  }
  SimDeviceOptions device;
  std::string error;
  bool usable = options.profile.empty() || SimLoadProfile(options.profile, &device.profile, &error);
  if (usable) usable = SimParseFaultPlan(options.faults, &device.faults, &error);
  std::shared_ptr<CSimRecorder> recorder;
  if (usable) {
    device.flashPath = options.flash;
    device.tracePath = options.trace;
    usable = ApplyDescription(device.profile, options.winUsb, &error) &&
             CSimRecorder::Create(std::move(device), &recorder, &error);
  }
  if (!usable) {
    std::fprintf(stderr, "zuva-devsim: %s\n", error.c_str());
    return DEVSIM_EXIT_SETUP;
  }
  CPipeServer server(std::move(recorder), options.ready, options.winUsb);
  if (!server.Create()) {
    std::fprintf(stderr, "zuva-devsim: the driver's pipe cannot be created (error %lu)\n",
                 GetLastError());
    return DEVSIM_EXIT_SETUP;
  }
  // The caller ends the model by closing its standard input.
  std::thread watcher;
  if (!PlatformStartThread(&watcher, [&server] {
        char buffer[256];
        DWORD read = 0;
        HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
        while (ReadFile(input, buffer, sizeof buffer, &read, nullptr) && read > 0) {
        }
        server.Stop();
      })) {
    std::fprintf(stderr, "zuva-devsim: the input watcher thread cannot be started\n");
    return DEVSIM_EXIT_SETUP;
  }
  watcher.detach();
  return server.Serve();
}
