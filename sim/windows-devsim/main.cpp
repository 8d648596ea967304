// zuva-devsim-pipe.exe [--profile FILE] [--flash FILE] [--faults PLAN] [--trace FILE]
//                 ... [--ready FILE] [--winusb]
// The virtual DFU devices behind the virtual kernel driver (run under Wine by
// zuva-wine-devsim): serves the pipe of each device node with a device model
// until its standard input ends, then exits 0 (the flash files already hold
// what the devices hold).
//
// --profile, --flash, --faults and --trace may each be given once per device:
// there are as many devices as the most often given option, the i-th device
// (on device node i - 1) takes the i-th occurrence of each, and a profile
// given once serves every device; an empty value is the default. As with
// ZUVA_SIM, a device's fault plan and trace count every driver request that
// reaches its model. A device node's description follows its profile (none
// without a `description` line), as a device's own entry would name it.
// --ready FILE is created once the driver has connected to every device and
// every device's interface is listed, so that a caller knows when to start
// its program. --winusb serves the device nodes bound to WinUSB instead of the
// kernel driver's; there the profile's description is the product string the
// bus reported, and the node's own description stays the INF's.
#include <windows.h>
#include <setupapi.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/guid.h"
#include "platform/driver_port.h"
#include "platform/thread_start.h"
#include "sim/device_option_lists.h"
#include "sim/profile.h"
#include "sim/windows-devsim/pipe_exchange.h"
#include "sim/windows-driver/devsim_pipe.h"

namespace {

constexpr int DEVSIM_EXIT_USAGE = 2;
constexpr int DEVSIM_EXIT_SETUP = 3;
// The device nodes that the driver installation creates, node i with
// instance number i: the kernel driver's (hardware id root\zuva_dfu) and the
// USB device nodes bound to WinUSB (hardware id USB\VID_0483&PID_DF11, root
// devices as zuva-driver-install names them).
constexpr char DEVSIM_INSTANCE_FORMAT[] = "ROOT\\ZUVA_DFU\\%04u";
constexpr char DEVSIM_WINUSB_INSTANCE_FORMAT[] = "ROOT\\USB_VID_0483_PID_DF11\\%04u";
constexpr char DEVSIM_ENUM_KEY[] = "System\\CurrentControlSet\\Enum\\";
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
  SimDeviceOptionLists devices;
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
    std::vector<std::string>* target = options->devices.ListOfOption(argument);
    if (argument == "--ready") {
      if (i + 1 >= argc) return false;
      options->ready = argv[++i];
      continue;
    }
    if (target == nullptr || i + 1 >= argc) return false;
    target->push_back(argv[++i]);
  }
  return true;
}

// The instance id of device node `node` of the kernel driver or of WinUSB.
std::string NodeInstance(bool winUsb, size_t node) {
  char instance[64];
  std::snprintf(instance, sizeof instance,
                winUsb ? DEVSIM_WINUSB_INSTANCE_FORMAT : DEVSIM_INSTANCE_FORMAT,
                static_cast<unsigned>(node));
  return instance;
}

// The product string the bus reported for a WinUSB node: the profile's
// description, or none.
bool ApplyBusDescription(const SimProfile& profile, const std::string& instance,
                         std::string* error) {
  HDEVINFO list = SetupDiCreateDeviceInfoList(nullptr, nullptr);
  SP_DEVINFO_DATA node = {};
  node.cbSize = sizeof(node);
  bool applied = list != INVALID_HANDLE_VALUE &&
                 SetupDiOpenDeviceInfoA(list, instance.c_str(), nullptr, 0, &node);
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

// Names device node `node` as the profile names the device. A WinUSB node
// keeps its INF's description unless the device has none at all.
bool ApplyDescription(const SimProfile& profile, bool winUsb, size_t node, std::string* error) {
  const std::string instance = NodeInstance(winUsb, node);
  if (winUsb && !ApplyBusDescription(profile, instance, error)) return false;
  if (winUsb && profile.hasDescription) return true;
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, (DEVSIM_ENUM_KEY + instance).c_str(), 0, KEY_SET_VALUE,
                    &key) != ERROR_SUCCESS) {
    *error = "the device node " + instance + " is not installed";
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

// Creates the ready file once every device has been announced.
class CReadiness {
 public:
  CReadiness(std::string path, size_t devices) : path_(std::move(path)), waiting_(devices) {}

  void Announce() {
    std::lock_guard<std::mutex> hold(lock_);
    if (waiting_ == 0 || --waiting_ != 0 || path_.empty()) return;
    std::FILE* ready = std::fopen(path_.c_str(), "wb");
    if (ready != nullptr) std::fclose(ready);
  }

 private:
  const std::string path_;
  std::mutex lock_;
  size_t waiting_;
};

// The pipe of one device node and the model behind it.
class CPipeServer {
 public:
  CPipeServer(std::shared_ptr<CSimRecorder> recorder, size_t node, bool winUsb,
              CReadiness* readiness)
      : recorder_(std::move(recorder)),
        readiness_(readiness),
        winUsb_(winUsb),
        pipeName_((winUsb ? DEVSIM_WINUSB_PIPE_NAME_A : DEVSIM_PIPE_NAME_A) + std::to_string(node)),
        listedAs_(ListedAs(NodeInstance(winUsb, node))) {}

  // Serves one driver connection after another; returns only on a failure.
  int Serve() {
    for (;;) {
      if (!ConnectNamedPipe(pipe_, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) {
        std::fprintf(stderr, "zuva-devsim-pipe: the driver cannot connect (error %lu)\n",
                     GetLastError());
        return DEVSIM_EXIT_SETUP;
      }
      ServeConnection();
      DisconnectNamedPipe(pipe_);
    }
  }

  bool Create() {
    pipe_ = CreateNamedPipeA(pipeName_.c_str(),
                             PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE,
                             PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1,
                             DEVSIM_PIPE_REPLY_HEADER_SIZE + DEVSIM_PIPE_MAX_DATA,
                             DEVSIM_PIPE_REQUEST_HEADER_SIZE + DEVSIM_PIPE_MAX_DATA, 0, nullptr);
    return pipe_ != INVALID_HANDLE_VALUE;
  }

  // Takes the device for good: no exchange starts after this, and none is
  // half done.
  void Hold() { lock_.lock(); }

 private:
  void ServeConnection() {
    std::vector<uint8_t> input(DEVSIM_PIPE_MAX_DATA);
    uint8_t header[DEVSIM_PIPE_REQUEST_HEADER_SIZE];
    while (ReadAll(pipe_, header, sizeof header)) {
      std::lock_guard<std::mutex> hold(lock_);
      DevsimPipeRequest request;
      if (!DevsimDecodeRequest(header, &request)) {
        std::fprintf(stderr, "zuva-devsim-pipe: malformed request from the driver\n");
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

  // What an interface path of the node holds: its instance id with '#' for
  // '\', in upper case.
  static std::string ListedAs(std::string instance) {
    for (char& c : instance) {
      c = c == '\\' ? '#' : static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return instance;
  }

  // Whether the system lists the interface the driver shows for this node:
  // the kernel driver's by its class, the WinUSB node's by the class of its
  // registry key (asked directly: this process has no winusb.dll to rely on).
  bool InterfaceListed() const {
    std::vector<std::string> paths;
    if (!winUsb_) {
      const Guid& listedUnder = recorder_->Device()->Position().dfuMode ? DFU_INTERFACE_GUID
                                                                        : APP_INTERFACE_GUID;
      std::vector<InterfaceInfo> interfaces;
      if (!EnumerateInterfaces(listedUnder, &interfaces)) return false;
      for (const InterfaceInfo& listed : interfaces) paths.push_back(listed.path);
    } else {
      static const GUID winUsbClass = {DEVSIM_WINUSB_INTERFACE_GUID_FIELDS};
      HDEVINFO list = SetupDiGetClassDevsA(&winUsbClass, nullptr, nullptr,
                                           DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
      if (list == INVALID_HANDLE_VALUE) return false;
      SP_DEVICE_INTERFACE_DATA data = {};
      data.cbSize = sizeof(data);
      for (DWORD i = 0; SetupDiEnumDeviceInterfaces(list, nullptr, &winUsbClass, i, &data); ++i) {
        std::vector<uint8_t> detail(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) + MAX_PATH);
        auto* path = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(detail.data());
        path->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        if (SetupDiGetDeviceInterfaceDetailA(list, &data, path, static_cast<DWORD>(detail.size()),
                                             nullptr, nullptr)) {
          paths.push_back(path->DevicePath);
        }
      }
      SetupDiDestroyDeviceInfoList(list);
    }
    return std::any_of(paths.begin(), paths.end(), [this](const std::string& path) {
      return ListedAs(path).find(listedAs_) != std::string::npos;
    });
  }

  // The driver has the device's place; once the system lists the device's
  // interface, programs can find it.
  void AnnounceReady() {
    const auto deadline = std::chrono::steady_clock::now() + DEVSIM_READY_TIMEOUT;
    while (std::chrono::steady_clock::now() < deadline && !InterfaceListed()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    readiness_->Announce();
  }

  const std::shared_ptr<CSimRecorder> recorder_;
  CReadiness* const readiness_;
  const bool winUsb_;
  const std::string pipeName_;
  const std::string listedAs_;
  HANDLE pipe_ = INVALID_HANDLE_VALUE;
  std::mutex lock_;
  bool announced_ = false;
};

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseArguments(argc, argv, &options)) {
    std::fprintf(stderr,
                 "usage: zuva-devsim-pipe [--profile FILE] [--flash FILE] [--faults PLAN] "
                 "[--trace FILE] ... [--ready FILE] [--winusb]\n");
    return DEVSIM_EXIT_USAGE;
  }
  const size_t count = options.devices.DeviceCount();
  CReadiness readiness(options.ready, count);
  std::vector<std::unique_ptr<CPipeServer>> servers;
  for (size_t i = 0; i < count; ++i) {
    SimDeviceOptions device;
    std::string error;
    std::shared_ptr<CSimRecorder> recorder;
    if (!SimDeviceOptionsAt(options.devices, i, &device, &error) ||
        !ApplyDescription(device.profile, options.winUsb, i, &error) ||
        !CSimRecorder::Create(std::move(device), &recorder, &error)) {
      std::fprintf(stderr, "zuva-devsim-pipe: %s\n", error.c_str());
      return DEVSIM_EXIT_SETUP;
    }
    servers.push_back(
        std::make_unique<CPipeServer>(std::move(recorder), i, options.winUsb, &readiness));
    if (!servers.back()->Create()) {
      std::fprintf(stderr, "zuva-devsim-pipe: the driver's pipe cannot be created (error %lu)\n",
                   GetLastError());
      return DEVSIM_EXIT_SETUP;
    }
  }
  // The caller ends the models by closing its standard input: the process
  // ends between two exchanges of every device, whose flash file already
  // holds what the device holds.
  std::thread watcher;
  if (!PlatformStartThread(&watcher, [&servers] {
        char buffer[256];
        DWORD read = 0;
        HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
        while (ReadFile(input, buffer, sizeof buffer, &read, nullptr) && read > 0) {
        }
        for (const auto& server : servers) server->Hold();
        std::fflush(nullptr);
        ExitProcess(0);
      })) {
    std::fprintf(stderr, "zuva-devsim-pipe: the input watcher thread cannot be started\n");
    return DEVSIM_EXIT_SETUP;
  }
  watcher.detach();
  // Every device but the first is served by a thread of its own; a server
  // returns only on a failure, which ends the process.
  for (size_t i = 1; i < servers.size(); ++i) {
    std::thread serving;
    CPipeServer* server = servers[i].get();
    if (!PlatformStartThread(&serving, [server] {
          const int code = server->Serve();
          std::fflush(nullptr);
          ExitProcess(code);
        })) {
      std::fprintf(stderr, "zuva-devsim-pipe: a device's thread cannot be started\n");
      return DEVSIM_EXIT_SETUP;
    }
    serving.detach();
  }
  return servers.front()->Serve();
}
