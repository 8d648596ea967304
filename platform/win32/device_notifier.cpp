// Device-change notifiers on Windows: a message-only window that receives the
// system's WM_DEVICECHANGE for device interfaces, plus the
// per-thread queue for events of virtual devices. Both reach the sink only
// while the creating thread pumps its messages.
#include <windows.h>
#include <dbt.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "platform/device_events.h"
#include "platform/device_notifier.h"
#include "platform/text.h"
#include "platform/win32/notifier_api.h"
#include "platform/win32/win32_guid.h"
#include "platform/win32/winusb_backend.h"

namespace {

constexpr char WIN32_NOTIFY_WINDOW_CLASS[] = "DETACHWIND";

static_assert(sizeof(WNDCLASSEXA) == 80, "the class record is 80 bytes on x64");
static_assert(sizeof(DEV_BROADCAST_DEVICEINTERFACE_A) == 32, "the filter record is 32 bytes");
static_assert(DBT_DEVTYP_DEVICEINTERFACE == 5);

class CWindowDeviceNotifier : public DeviceNotifier {
 public:
  CWindowDeviceNotifier(DeviceEventSink* sink, const std::vector<Guid>& interfaceClasses)
      : sink_(sink),
        interfaceClasses_(interfaceClasses),
        registration_(RegisterQueuedNotifier(sink, interfaceClasses)),
        instance_(GetModuleHandleA(nullptr)) {
    // The class may already exist (another notifier holds it); creating the
    // window is what counts.
    WNDCLASSEXA windowClass = {};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = &CWindowDeviceNotifier::WindowProc;
    windowClass.hInstance = instance_;
    windowClass.lpszClassName = WIN32_NOTIFY_WINDOW_CLASS;
    RegisterClassExA(&windowClass);
    // Message-only: the window takes the notifications it registers for and
    // none of the broadcasts every top-level window receives.
    window_ = CreateWindowExA(0, WIN32_NOTIFY_WINDOW_CLASS, nullptr, 0, 0, 0, 0, 0, HWND_MESSAGE,
                              nullptr, instance_, this);
    if (window_ == nullptr) return;
    const NotifierApi& api = ActiveNotifierApi();
    // Every interface class at once: a device bound to WinUSB announces
    // itself under the interface class its firmware or INF chose, and one
    // that comes back from a detach usually has a product id and a class of
    // its own that no listing has seen yet. A class not registered by the
    // caller is translated (the WinUSB backend lists the devices again on an
    // unknown arrival) or dropped.
    DEV_BROADCAST_DEVICEINTERFACE_A anyClass = {};
    anyClass.dbcc_size = sizeof(anyClass);
    anyClass.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    if (HDEVNOTIFY all = api.registerNotification(
            window_, &anyClass, DEVICE_NOTIFY_WINDOW_HANDLE | DEVICE_NOTIFY_ALL_INTERFACE_CLASSES)) {
      notifications_.push_back(all);
      return;
    }
    // A system that refuses the flag is asked class by class: the caller's
    // and those of the WinUSB devices listed so far.
    std::vector<Guid> registered = interfaceClasses_;
    for (const Guid& winUsbClass : WinUsbNotificationClasses()) {
      if (std::find(registered.begin(), registered.end(), winUsbClass) == registered.end()) {
        registered.push_back(winUsbClass);
      }
    }
    for (const Guid& interfaceClass : registered) {
      DEV_BROADCAST_DEVICEINTERFACE_A filter = {};
      filter.dbcc_size = sizeof(filter);
      filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
      filter.dbcc_classguid = ToWin32Guid(interfaceClass);
      HDEVNOTIFY notification = api.registerNotification(window_, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
      if (notification != nullptr) notifications_.push_back(notification);
    }
  }

  ~CWindowDeviceNotifier() override {
    UnregisterQueuedNotifier(registration_);
    // Last registered, first unregistered.
    for (auto it = notifications_.rbegin(); it != notifications_.rend(); ++it) {
      ActiveNotifierApi().unregisterNotification(*it);
    }
    if (window_ != nullptr) DestroyWindow(window_);
    // Fails harmlessly while another notifier's window still uses the class.
    UnregisterClassA(WIN32_NOTIFY_WINDOW_CLASS, instance_);
  }

  CWindowDeviceNotifier(const CWindowDeviceNotifier&) = delete;
  CWindowDeviceNotifier& operator=(const CWindowDeviceNotifier&) = delete;

  bool HasWindow() const { return window_ != nullptr; }

 private:
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_CREATE) {
      const auto* create = reinterpret_cast<const CREATESTRUCTA*>(lParam);
      SetWindowLongPtrA(window, GWLP_USERDATA,
                        reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    } else if (message == WM_DEVICECHANGE) {
      auto* self = reinterpret_cast<CWindowDeviceNotifier*>(GetWindowLongPtrA(window, GWLP_USERDATA));
      if (self != nullptr) self->OnDeviceChangeMessage(wParam, lParam);
      return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
  }

  void OnDeviceChangeMessage(WPARAM wParam, LPARAM lParam) {
    DeviceChangeKind kind;
    if (wParam == DBT_DEVICEARRIVAL) {
      kind = DeviceChangeKind::kArrival;
    } else if (wParam == DBT_DEVICEREMOVECOMPLETE) {
      kind = DeviceChangeKind::kRemoval;
    } else {
      return;
    }
    const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam);
    if (header == nullptr || header->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE) return;
    // The record's size bounds the name: a name without its zero must not
    // be read past the record.
    constexpr size_t nameOffset = offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name);
    if (header->dbch_size < nameOffset) return;
    const auto* broadcast = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_A*>(header);
    DeviceChangeEvent event{kind, FromWin32Guid(broadcast->dbcc_classguid),
                            BroadcastName(broadcast->dbcc_name, header->dbch_size - nameOffset)};
    if (!IsRegistered(event.interfaceClass) &&
        !WinUsbTranslateDeviceChange(kind, event.interfaceClass, event.path, &event)) {
      return;
    }
    if (!IsRegistered(event.interfaceClass)) return;
    sink_->OnDeviceChange(event);
  }

  bool IsRegistered(const Guid& interfaceClass) const {
    return std::find(interfaceClasses_.begin(), interfaceClasses_.end(), interfaceClass) !=
           interfaceClasses_.end();
  }

  // A window registered through the ANSI call receives the interface name in
  // ANSI; Wine hands it over in UTF-16 all the same. An interface path never
  // has a zero byte second ("\\?\..."), so that zero marks the wide form,
  // which is converted so that the path compares with the one enumerated.
  static std::string BroadcastName(const char* name, size_t bytes) {
    if (bytes >= 4 && name[0] != 0 && name[1] == 0) {
      std::vector<uint16_t> units;
      for (size_t i = 0; i + 1 < bytes; i += 2) {
        const auto unit = static_cast<uint16_t>(static_cast<uint8_t>(name[i]) |
                                                (static_cast<uint8_t>(name[i + 1]) << 8));
        if (unit == 0) break;
        units.push_back(unit);
      }
      return Utf16ToConsoleText(units.data(), units.size());
    }
    return std::string(name, strnlen(name, bytes));
  }

  DeviceEventSink* sink_;
  std::vector<Guid> interfaceClasses_;
  uint64_t registration_;
  HINSTANCE instance_;
  HWND window_ = nullptr;
  std::vector<HDEVNOTIFY> notifications_;
};

}  // namespace

NotifierApi& ActiveNotifierApi() {
  static NotifierApi api = {&::RegisterDeviceNotificationA, &::UnregisterDeviceNotification};
  return api;
}

std::unique_ptr<DeviceNotifier> DeviceNotifier::Create(DeviceEventSink* sink,
                                                       const std::vector<Guid>& interfaceClasses) {
  if (sink == nullptr) return nullptr;
  // Without a window the notifier still serves virtual devices.
  return std::make_unique<CWindowDeviceNotifier>(sink, interfaceClasses);
}

void PumpThreadMessages() {
  MSG message;
  while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  DeliverQueuedDeviceChanges();
}
