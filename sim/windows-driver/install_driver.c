/* zuva-driver-install [--nodes N] INF HARDWARE_ID [INTERFACE_GUID COMPATIBLE_ID...]
 * Creates the device nodes of the virtual DFU devices (N of them, 1 without
 * --nodes; nodes that exist are kept) and installs the driver of INF on
 * them. From then on Wine loads the driver at the start of every session of
 * the prefix. Node i (from 0) has instance number i and, in its device key,
 * the value DEVSIM_NODE_VALUE = i, from which the driver names the pipe of its
 * device. With INTERFACE_GUID, the nodes are USB devices as Windows records
 * one bound to WinUSB: the compatible ids from its interface descriptor and,
 * in its device key, the interface class its OS descriptors name
 * (DeviceInterfaceGUIDs). Exit code 0 on success. */
#include <windows.h>
#include <newdev.h>
#include <setupapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "devsim_pipe.h"
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

/* Writes the node's number, and for a USB node what Windows records from the
 * device's descriptors, into its registry. */
static BOOL DescribeNode(HDEVINFO list, SP_DEVINFO_DATA* device, DWORD number,
                         char* interfaceGuid, int compatibleCount, char** compatibleIds) {
  char value[512];
  size_t length = 0;
  HKEY key;
  LONG written;
  if (compatibleCount > 0) {
    length = MultiString(value, sizeof value, compatibleCount, compatibleIds);
    if (length == 0 ||
        !SetupDiSetDeviceRegistryPropertyA(list, device, SPDRP_COMPATIBLEIDS, (BYTE*)value,
                                           (DWORD)length)) {
      return FALSE;
    }
  }
  key = SetupDiCreateDevRegKeyA(list, device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, NULL, NULL);
  if (key == INVALID_HANDLE_VALUE) return FALSE;
  written = RegSetValueExA(key, DEVSIM_NODE_VALUE_A, 0, REG_DWORD, (const BYTE*)&number,
                           sizeof number);
  if (written == ERROR_SUCCESS && compatibleCount > 0) {
    length = MultiString(value, sizeof value, 1, &interfaceGuid);
    written = length == 0 ? ERROR_INVALID_PARAMETER
                          : RegSetValueExA(key, "DeviceInterfaceGUIDs", 0, REG_MULTI_SZ,
                                           (const BYTE*)value, (DWORD)length);
  }
  RegCloseKey(key);
  return written == ERROR_SUCCESS;
}

/* The instance id of node `number`: a root device (Wine starts no other
 * without a bus driver), named as the hardware id with its separators
 * replaced when that is not a root device's own, and the node's number. */
static void InstanceIdOf(const char* hardwareId, DWORD number, char* out, size_t size) {
  if (_strnicmp(hardwareId, "root\\", 5) == 0) {
    snprintf(out, size, "%s\\%04lu", hardwareId, (unsigned long)number);
  } else {
    size_t i;
    const size_t end = (size_t)snprintf(out, size, "ROOT\\%s", hardwareId);
    for (i = 5; i < end && i < size; ++i) {
      if (out[i] == '\\' || out[i] == '&') out[i] = '_';
    }
    snprintf(out + strlen(out), size - strlen(out), "\\%04lu", (unsigned long)number);
  }
}

/* Creates node `number` unless it exists, and describes it. */
static int CreateNode(const char* hardwareIds, size_t idsSize, DWORD number, char* interfaceGuid,
                      int compatibleCount, char** compatibleIds) {
  char instanceId[256];
  HDEVINFO list;
  SP_DEVINFO_DATA device;
  BOOL described;
  InstanceIdOf(hardwareIds, number, instanceId, sizeof instanceId);
  list = SetupDiCreateDeviceInfoList(&INSTALL_SYSTEM_CLASS, NULL);
  if (list == INVALID_HANDLE_VALUE) return Fail("SetupDiCreateDeviceInfoList");
  memset(&device, 0, sizeof device);
  device.cbSize = sizeof device;
  if (!SetupDiCreateDeviceInfoA(list, instanceId, &INSTALL_SYSTEM_CLASS, NULL, NULL, 0, &device)) {
    /* The node exists already: only the driver is installed again. */
    const DWORD error = GetLastError();
    SetupDiDestroyDeviceInfoList(list);
    if (error == ERROR_DEVINST_ALREADY_EXISTS) return 0;
    SetLastError(error);
    return Fail("SetupDiCreateDeviceInfoA");
  }
  if (!SetupDiSetDeviceRegistryPropertyA(list, &device, SPDRP_HARDWAREID, (const BYTE*)hardwareIds,
                                         (DWORD)idsSize)) {
    SetupDiDestroyDeviceInfoList(list);
    return Fail("SetupDiSetDeviceRegistryPropertyA");
  }
  if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, list, &device)) {
    SetupDiDestroyDeviceInfoList(list);
    return Fail("SetupDiCallClassInstaller(DIF_REGISTERDEVICE)");
  }
  described = DescribeNode(list, &device, number, interfaceGuid, compatibleCount, compatibleIds);
  SetupDiDestroyDeviceInfoList(list);
  return described ? 0 : Fail("describing the device node");
}

int main(int argc, char** argv) {
  char fullInf[MAX_PATH];
  char hardwareIds[256];
  size_t idLength;
  BOOL reboot = FALSE;
  DWORD nodes = 1;
  DWORD number;
  if (argc >= 3 && strcmp(argv[1], "--nodes") == 0) {
    char* end = NULL;
    const unsigned long given = strtoul(argv[2], &end, 10);
    if (*argv[2] == '\0' || *end != '\0' || given == 0 || given > 9999) {
      fprintf(stderr, "zuva-driver-install: --nodes takes a number from 1 to 9999\n");
      return 2;
    }
    nodes = (DWORD)given;
    argc -= 2;
    argv += 2;
  }
  if (argc < 3 || argc == 4) {
    fprintf(stderr, "usage: zuva-driver-install [--nodes N] INF HARDWARE_ID "
                    "[INTERFACE_GUID COMPATIBLE_ID...]\n");
    return 2;
  }
  if (GetFullPathNameA(argv[1], sizeof fullInf, fullInf, NULL) == 0) return Fail("GetFullPathNameA");
  idLength = strlen(argv[2]);
  /* A multi-string: the id and an empty string. */
  if (idLength + 2 > sizeof hardwareIds) return Fail("hardware id length");
  memset(hardwareIds, 0, sizeof hardwareIds);
  memcpy(hardwareIds, argv[2], idLength);
  for (number = 0; number < nodes; ++number) {
    const int failed = CreateNode(hardwareIds, idLength + 2, number, argc > 4 ? argv[3] : NULL,
                                  argc > 4 ? argc - 4 : 0, argv + 4);
    if (failed) return failed;
  }
  if (!UpdateDriverForPlugAndPlayDevicesA(NULL, argv[2], fullInf, INSTALLFLAG_FORCE, &reboot)) {
    return Fail("UpdateDriverForPlugAndPlayDevicesA");
  }
  return 0;
}
