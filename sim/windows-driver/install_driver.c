/* zuva-driver-install INF HARDWARE_ID [INTERFACE_GUID COMPATIBLE_ID...]
 * Creates the device node of the virtual DFU device (once) and installs the
 * driver of INF on it. From then on Wine loads the driver at the start of
 * every session of the prefix. With INTERFACE_GUID, the node is a USB device
 * as Windows records one bound to WinUSB: the compatible ids from its
 * interface descriptor and, in its device key, the interface class its OS
 * descriptors name (DeviceInterfaceGUIDs). Exit code 0 on success. */
#include <windows.h>
#include <newdev.h>
#include <setupapi.h>
#include <stdio.h>
#include <string.h>

/* {4D36E97D-E325-11CE-BFC1-08002BE10318}: the System setup class. */
static const GUID INSTALL_SYSTEM_CLASS = {
    0x4D36E97D, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

static int Fail(const char* what) {
  fprintf(stderr, "zuva-driver-install: %s failed (error %lu)\n", what, GetLastError());
  return 1;
}

/* A multi-string of `count` strings into `out` (`size` bytes); its length,
 * 0 when it does not fit. */
static size_t MultiString(char* out, size_t size, int count, char** strings) {
  size_t at = 0;
  int i;
  for (i = 0; i < count; ++i) {
    const size_t length = strlen(strings[i]) + 1;
    if (at + length + 1 > size) return 0;
    memcpy(out + at, strings[i], length);
    at += length;
  }
  out[at++] = 0;
  return at;
}

static BOOL DescribeUsbDevice(HDEVINFO list, SP_DEVINFO_DATA* device, char* interfaceGuid,
                              int compatibleCount, char** compatibleIds) {
  char value[512];
  size_t length = MultiString(value, sizeof value, compatibleCount, compatibleIds);
  HKEY key;
  LONG written;
  if (length == 0 ||
      !SetupDiSetDeviceRegistryPropertyA(list, device, SPDRP_COMPATIBLEIDS, (BYTE*)value,
                                         (DWORD)length)) {
    return FALSE;
  }
  key = SetupDiCreateDevRegKeyA(list, device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, NULL, NULL);
  if (key == INVALID_HANDLE_VALUE) return FALSE;
  length = MultiString(value, sizeof value, 1, &interfaceGuid);
  written = length == 0 ? ERROR_INVALID_PARAMETER
                        : RegSetValueExA(key, "DeviceInterfaceGUIDs", 0, REG_MULTI_SZ,
                                         (const BYTE*)value, (DWORD)length);
  RegCloseKey(key);
  return written == ERROR_SUCCESS;
}

int main(int argc, char** argv) {
  char fullInf[MAX_PATH];
  char hardwareIds[256];
  char instanceId[256];
  size_t idLength;
  HDEVINFO list;
  SP_DEVINFO_DATA device;
  BOOL reboot = FALSE;
  if (argc < 3 || argc == 4) {
    fprintf(stderr, "usage: zuva-driver-install INF HARDWARE_ID [INTERFACE_GUID COMPATIBLE_ID...]\n");
    return 2;
  }
  if (GetFullPathNameA(argv[1], sizeof fullInf, fullInf, NULL) == 0) return Fail("GetFullPathNameA");
  idLength = strlen(argv[2]);
  /* A multi-string: the id and an empty string. */
  if (idLength + 2 > sizeof hardwareIds) return Fail("hardware id length");
  memset(hardwareIds, 0, sizeof hardwareIds);
  memcpy(hardwareIds, argv[2], idLength);
  /* The node's instance id: a root device (Wine starts no other without a
   * bus driver), named as the hardware id with its separators replaced when
   * that is not a root device's own, and instance 0000. */
  if (_strnicmp(argv[2], "root\\", 5) == 0) {
    snprintf(instanceId, sizeof instanceId, "%s\\0000", argv[2]);
  } else {
    size_t i;
    snprintf(instanceId, sizeof instanceId, "ROOT\\%s\\0000", argv[2]);
    for (i = 5; i + 5 < strlen(instanceId); ++i) {
      if (instanceId[i] == '\\' || instanceId[i] == '&') instanceId[i] = '_';
    }
  }

  list = SetupDiCreateDeviceInfoList(&INSTALL_SYSTEM_CLASS, NULL);
  if (list == INVALID_HANDLE_VALUE) return Fail("SetupDiCreateDeviceInfoList");
  memset(&device, 0, sizeof device);
  device.cbSize = sizeof device;
  if (!SetupDiCreateDeviceInfoA(list, instanceId, &INSTALL_SYSTEM_CLASS, NULL, NULL, 0, &device)) {
    /* The node exists already: only the driver is installed again. */
    if (GetLastError() != ERROR_DEVINST_ALREADY_EXISTS) {
      SetupDiDestroyDeviceInfoList(list);
      return Fail("SetupDiCreateDeviceInfoA");
    }
  } else {
    if (!SetupDiSetDeviceRegistryPropertyA(list, &device, SPDRP_HARDWAREID, (BYTE*)hardwareIds,
                                           (DWORD)(idLength + 2))) {
      SetupDiDestroyDeviceInfoList(list);
      return Fail("SetupDiSetDeviceRegistryPropertyA");
    }
    if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, list, &device)) {
      SetupDiDestroyDeviceInfoList(list);
      return Fail("SetupDiCallClassInstaller(DIF_REGISTERDEVICE)");
    }
    if (argc > 4 && !DescribeUsbDevice(list, &device, argv[3], argc - 4, argv + 4)) {
      SetupDiDestroyDeviceInfoList(list);
      return Fail("describing the USB device");
    }
  }
  SetupDiDestroyDeviceInfoList(list);
  if (!UpdateDriverForPlugAndPlayDevicesA(NULL, argv[2], fullInf, INSTALLFLAG_FORCE, &reboot)) {
    return Fail("UpdateDriverForPlugAndPlayDevicesA");
  }
  return 0;
}
