/* zuva-driver-install INF HARDWARE_ID
 * Creates the root device node of the virtual DFU device (once) and installs
 * the driver of INF on it. From then on Wine loads the driver at the start of
 * every session of the prefix. Exit code 0 on success. */
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

int main(int argc, char** argv) {
  char fullInf[MAX_PATH];
  char hardwareIds[256];
  char instanceId[256];
  size_t idLength;
  HDEVINFO list;
  SP_DEVINFO_DATA device;
  BOOL reboot = FALSE;
  if (argc != 3) {
    fprintf(stderr, "usage: zuva-driver-install INF HARDWARE_ID\n");
    return 2;
  }
  if (GetFullPathNameA(argv[1], sizeof fullInf, fullInf, NULL) == 0) return Fail("GetFullPathNameA");
  idLength = strlen(argv[2]);
  /* A multi-string: the id and an empty string. */
  if (idLength + 2 > sizeof hardwareIds) return Fail("hardware id length");
  memset(hardwareIds, 0, sizeof hardwareIds);
  memcpy(hardwareIds, argv[2], idLength);
  /* The node's instance id: the hardware id (enumerator and device) and
   * instance 0000. */
  snprintf(instanceId, sizeof instanceId, "%s\\0000", argv[2]);

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
  }
  SetupDiDestroyDeviceInfoList(list);
  if (!UpdateDriverForPlugAndPlayDevicesA(NULL, argv[2], fullInf, INSTALLFLAG_FORCE, &reboot)) {
    return Fail("UpdateDriverForPlugAndPlayDevicesA");
  }
  return 0;
}
