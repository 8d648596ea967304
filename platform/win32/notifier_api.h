// The Win32 entry points through which the device-change window registers
// for the system's notifications, in a table so that a test can stand in for
// them. Internal to platform/win32.
#ifndef ZUVA_PLATFORM_WIN32_NOTIFIER_API_H_
#define ZUVA_PLATFORM_WIN32_NOTIFIER_API_H_

#include <windows.h>

struct NotifierApi {
  decltype(&::RegisterDeviceNotificationA) registerNotification;
  decltype(&::UnregisterDeviceNotification) unregisterNotification;
};

// The table in use; the operating system's entry points until replaced.
NotifierApi& ActiveNotifierApi();

#endif  // ZUVA_PLATFORM_WIN32_NOTIFIER_API_H_
