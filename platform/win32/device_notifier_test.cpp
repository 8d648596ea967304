#include <gtest/gtest.h>
#include <windows.h>
#include <dbt.h>

#include <cstring>
#include <future>
#include <thread>

#include "platform/device_notifier.h"
#include "platform/wake_signal.h"
#include "platform/win32/notifier_api.h"
#include "platform/win32/win32_guid.h"

namespace {

class CRecordingSink : public DeviceEventSink {
 public:
  void OnDeviceChange(const DeviceChangeEvent& event) override {
    events.push_back(event);
    threads.push_back(GetCurrentThreadId());
  }
  std::vector<DeviceChangeEvent> events;
  std::vector<DWORD> threads;
};

// A device-interface broadcast as the system sends it: the record followed
// by the interface name, its size covering the name and its zero.
class CBroadcast {
 public:
  CBroadcast(const Guid& interfaceClass, const std::string& name, DWORD deviceType = 5)
      : storage_(offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name) + name.size() + 1, 0) {
    auto* record = Record();
    record->dbcc_size = static_cast<DWORD>(storage_.size());
    record->dbcc_devicetype = deviceType;
    record->dbcc_classguid = ToWin32Guid(interfaceClass);
    std::memcpy(record->dbcc_name, name.c_str(), name.size() + 1);
  }
  DEV_BROADCAST_DEVICEINTERFACE_A* Record() {
    return reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_A*>(storage_.data());
  }
  LPARAM Param() { return reinterpret_cast<LPARAM>(storage_.data()); }

 private:
  std::vector<uint8_t> storage_;
};

HWND FindNotifyWindow() { return FindWindowExA(HWND_MESSAGE, nullptr, "DETACHWIND", nullptr); }

// A message-only window (its parent is the message-only root, not the
// desktop), so the broadcasts every top-level window receives never reach it.
TEST(Win32DeviceNotifier, CreatesAMessageOnlyWindowOnTheCreatingThread) {
  CRecordingSink sink;
  auto notifier = DeviceNotifier::Create(&sink, {DFU_INTERFACE_GUID, APP_INTERFACE_GUID});
  HWND window = FindNotifyWindow();
  ASSERT_NE(window, nullptr);
  EXPECT_NE(GetAncestor(window, GA_PARENT), GetDesktopWindow());
  EXPECT_EQ(GetWindowThreadProcessId(window, nullptr), GetCurrentThreadId());
  EXPECT_FALSE(IsWindowVisible(window));
  char title[16] = "x";
  EXPECT_EQ(GetWindowTextA(window, title, sizeof(title)), 0);
  WNDCLASSEXA windowClass = {};
  windowClass.cbSize = sizeof(windowClass);
  ASSERT_TRUE(GetClassInfoExA(GetModuleHandleA(nullptr), "DETACHWIND", &windowClass));
  EXPECT_EQ(windowClass.style, 0u);
  EXPECT_EQ(windowClass.cbClsExtra, 0);
  EXPECT_EQ(windowClass.cbWndExtra, 0);

  notifier.reset();
  EXPECT_EQ(FindNotifyWindow(), nullptr);
  EXPECT_FALSE(GetClassInfoExA(GetModuleHandleA(nullptr), "DETACHWIND", &windowClass));
}

TEST(Win32DeviceNotifier, TurnsInterfaceArrivalsAndRemovalsOfItsClassesIntoEvents) {
  struct Case {
    const char* what;
    WPARAM change;
    Guid interfaceClass;
    DWORD deviceType;
    bool delivered;
  };
  const Case cases[] = {
      {"arrival", DBT_DEVICEARRIVAL, DFU_INTERFACE_GUID, DBT_DEVTYP_DEVICEINTERFACE, true},
      {"removal", DBT_DEVICEREMOVECOMPLETE, APP_INTERFACE_GUID, DBT_DEVTYP_DEVICEINTERFACE, true},
      {"query remove", DBT_DEVICEQUERYREMOVE, DFU_INTERFACE_GUID, DBT_DEVTYP_DEVICEINTERFACE,
       false},
      {"volume", DBT_DEVICEARRIVAL, DFU_INTERFACE_GUID, DBT_DEVTYP_VOLUME, false},
      {"other class", DBT_DEVICEARRIVAL,
       Guid{1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}}, DBT_DEVTYP_DEVICEINTERFACE, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CRecordingSink sink;
    auto notifier = DeviceNotifier::Create(&sink, {DFU_INTERFACE_GUID, APP_INTERFACE_GUID});
    HWND window = FindNotifyWindow();
    ASSERT_NE(window, nullptr);
    const std::string name = "\\\\?\\usb#vid_0483&pid_df11#3&1#{3fe809ab}";
    CBroadcast broadcast(c.interfaceClass, name, c.deviceType);
    EXPECT_EQ(SendMessageA(window, WM_DEVICECHANGE, c.change, broadcast.Param()), 0);
    if (!c.delivered) {
      EXPECT_TRUE(sink.events.empty());
      continue;
    }
    ASSERT_EQ(sink.events.size(), 1u);
    const DeviceChangeEvent& event = sink.events[0];
    EXPECT_EQ(event.kind, c.change == DBT_DEVICEARRIVAL ? DeviceChangeKind::kArrival
                                                        : DeviceChangeKind::kRemoval);
    EXPECT_EQ(event.interfaceClass, c.interfaceClass);
    EXPECT_EQ(event.path, name);
  }
}

// A name that lacks its zero is read no further than the record's size.
TEST(Win32DeviceNotifier, ReadsTheInterfaceNameNoFurtherThanTheRecord) {
  CRecordingSink sink;
  auto notifier = DeviceNotifier::Create(&sink, {DFU_INTERFACE_GUID});
  CBroadcast broadcast(DFU_INTERFACE_GUID, "sim:0123456789");
  broadcast.Record()->dbcc_size -= 5;  // cuts "6789" and the zero
  SendMessageA(FindNotifyWindow(), WM_DEVICECHANGE, DBT_DEVICEARRIVAL, broadcast.Param());
  ASSERT_EQ(sink.events.size(), 1u);
  EXPECT_EQ(sink.events[0].path, "sim:012345");
}

// Wine delivers the name in UTF-16 even to a window registered through the
// ANSI call; the path must still read as the one that was enumerated.
TEST(Win32DeviceNotifier, ReadsAWideInterfaceNameAsText) {
  CRecordingSink sink;
  auto notifier = DeviceNotifier::Create(&sink, {DFU_INTERFACE_GUID});
  const std::string path = "\\\\?\\root#system#0000#{guid}";
  std::string wide;
  for (char c : path) wide += std::string{c, '\0'};
  CBroadcast broadcast(DFU_INTERFACE_GUID, wide + '\0');
  SendMessageA(FindNotifyWindow(), WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, broadcast.Param());
  ASSERT_EQ(sink.events.size(), 1u);
  EXPECT_EQ(sink.events[0].path, path);
}

// The system sends WM_DEVICECHANGE from its own thread; the sink runs only
// when the window's thread pumps, and the pending message ends its wait.
TEST(Win32DeviceNotifier, AMessageSentFromAnotherThreadWakesTheOwnerAndRunsOnIt) {
  CRecordingSink sink;
  auto notifier = DeviceNotifier::Create(&sink, {DFU_INTERFACE_GUID});
  HWND window = FindNotifyWindow();
  ASSERT_NE(window, nullptr);
  CBroadcast broadcast(DFU_INTERFACE_GUID, "\\\\?\\usb#dfu");
  std::promise<LRESULT> answer;
  std::thread system([&] {
    answer.set_value(
        SendMessageA(window, WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, broadcast.Param()));
  });
  WakeSignal signal;
  const DWORD start = GetTickCount();
  while (sink.events.empty() && GetTickCount() - start < 20000) {
    WaitForSignalOrThreadMessages(&signal, 20000);
    PumpThreadMessages();
  }
  system.join();
  EXPECT_EQ(answer.get_future().get(), 0);
  EXPECT_LT(GetTickCount() - start, 10000u);
  ASSERT_EQ(sink.events.size(), 1u);
  EXPECT_EQ(sink.events[0].kind, DeviceChangeKind::kRemoval);
  EXPECT_EQ(sink.threads[0], GetCurrentThreadId());
}

TEST(Win32DeviceNotifier, APostedWindowMessageEndsTheWait) {
  CRecordingSink sink;
  auto notifier = DeviceNotifier::Create(&sink, {DFU_INTERFACE_GUID});
  HWND window = FindNotifyWindow();
  std::thread poster([window] {
    Sleep(20);
    PostMessageA(window, WM_NULL, 0, 0);
  });
  WakeSignal signal;
  const DWORD start = GetTickCount();
  WaitForSignalOrThreadMessages(&signal, 20000);
  EXPECT_LT(GetTickCount() - start, 10000u);
  poster.join();
  PumpThreadMessages();
  MSG message;
  EXPECT_FALSE(PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE));  // the pump took it
}

// Two notifiers share the window class; the first to go must not take the
// second one's window with it.
TEST(Win32DeviceNotifier, NotifiersLiveSideBySide) {
  CRecordingSink first;
  CRecordingSink second;
  auto a = DeviceNotifier::Create(&first, {DFU_INTERFACE_GUID});
  HWND windowA = FindNotifyWindow();
  auto b = DeviceNotifier::Create(&second, {DFU_INTERFACE_GUID});
  HWND windowB = FindWindowExA(HWND_MESSAGE, nullptr, "DETACHWIND", nullptr);
  if (windowB == windowA) windowB = FindWindowExA(HWND_MESSAGE, windowA, "DETACHWIND", nullptr);
  ASSERT_NE(windowB, nullptr);
  ASSERT_NE(windowA, windowB);
  a.reset();
  CBroadcast broadcast(DFU_INTERFACE_GUID, "sim:2");
  EXPECT_EQ(SendMessageA(windowB, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, broadcast.Param()), 0);
  EXPECT_TRUE(first.events.empty());
  ASSERT_EQ(second.events.size(), 1u);
  EXPECT_EQ(second.events[0].path, "sim:2");
  b.reset();
  EXPECT_EQ(FindNotifyWindow(), nullptr);
}

// The registrations the window makes: one for every interface class; class by
// class (the caller's) only when the system refuses that. Each is given back.
struct Registration {
  HANDLE recipient;
  DWORD flags;
  DWORD deviceType;
  Guid interfaceClass;
};
std::vector<Registration> gRegistrations;
std::vector<HDEVNOTIFY> gUnregistered;
bool gRefuseAllClasses = false;

HDEVNOTIFY WINAPI FakeRegister(HANDLE recipient, LPVOID filter, DWORD flags) {
  const auto* record = static_cast<const DEV_BROADCAST_DEVICEINTERFACE_A*>(filter);
  if (gRefuseAllClasses && (flags & DEVICE_NOTIFY_ALL_INTERFACE_CLASSES) != 0) return nullptr;
  gRegistrations.push_back({recipient, flags, record->dbcc_devicetype, FromWin32Guid(record->dbcc_classguid)});
  return reinterpret_cast<HDEVNOTIFY>(0x100 + gRegistrations.size());
}

BOOL WINAPI FakeUnregister(HDEVNOTIFY handle) {
  gUnregistered.push_back(handle);
  return TRUE;
}

TEST(Win32DeviceNotifier, RegistersTheMessageOnlyWindowForEveryInterfaceClassAtOnce) {
  NotifierApi& api = ActiveNotifierApi();
  const NotifierApi saved = api;
  api = {&FakeRegister, &FakeUnregister};
  for (bool refuse : {false, true}) {
    SCOPED_TRACE(refuse ? "flag refused" : "flag taken");
    gRegistrations.clear();
    gUnregistered.clear();
    gRefuseAllClasses = refuse;
    CRecordingSink sink;
    auto notifier = DeviceNotifier::Create(&sink, {DFU_INTERFACE_GUID, APP_INTERFACE_GUID});
    HWND window = FindNotifyWindow();
    ASSERT_NE(window, nullptr);
    ASSERT_FALSE(gRegistrations.empty());
    for (const Registration& r : gRegistrations) {
      EXPECT_EQ(r.recipient, window);
      EXPECT_EQ(r.deviceType, static_cast<DWORD>(DBT_DEVTYP_DEVICEINTERFACE));
      EXPECT_EQ(r.flags, refuse ? static_cast<DWORD>(DEVICE_NOTIFY_WINDOW_HANDLE)
                                : static_cast<DWORD>(DEVICE_NOTIFY_WINDOW_HANDLE | DEVICE_NOTIFY_ALL_INTERFACE_CLASSES));
    }
    if (refuse) {
      ASSERT_GE(gRegistrations.size(), 2u);
      EXPECT_EQ(gRegistrations[0].interfaceClass, DFU_INTERFACE_GUID);
      EXPECT_EQ(gRegistrations[1].interfaceClass, APP_INTERFACE_GUID);
    } else {
      EXPECT_EQ(gRegistrations.size(), 1u);
    }
    const size_t made = gRegistrations.size();
    notifier.reset();
    EXPECT_EQ(gUnregistered.size(), made);
  }
  api = saved;
}

}  // namespace
