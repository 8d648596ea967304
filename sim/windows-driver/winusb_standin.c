/* A stand-in for Microsoft's winusb.dll, for the tests under Wine only: the
 * DLL of Wine 8 fails every call, so the WinUSB path of ZUVA.exe could not
 * run at all. It is built as winusb.dll in a folder of its own, copied into
 * the System32 of zuva-wine-devsim's Wine prefix (ZUVA.exe loads system
 * libraries from there alone) and loaded instead of Wine's with
 * WINEDLLOVERRIDES=winusb=n; it is never shipped.
 *
 * It gives the calls ZUVA.exe makes the documented behaviour of the real
 * DLL: the same return values, GetLastError codes and LengthTransferred
 * counts. It reaches the device through the virtual driver's WinUSB node
 * (zuva_winusb.inf), which passes a control transfer to the device model as
 * it would go on the bus (DEVSIM_IOCTL_USB_CONTROL): the real DLL asks the
 * WinUSB kernel driver the same way. What it cannot show is listed in the
 * README's Windows section: timing, the descriptor cache of the real DLL,
 * power policies and the pipes other than the control pipe. */
#include <windows.h>

#include <winusb.h>

#include "devsim_pipe.h"

/* The control pipe, the only one a DFU interface has. */
#define STANDIN_CONTROL_PIPE 0
/* WinUSB refuses a control transfer with a longer data stage. */
#define STANDIN_MAX_CONTROL_TRANSFER 4096
/* Standard request SET_INTERFACE to an interface. */
#define STANDIN_REQUEST_TYPE_INTERFACE_OUT 0x01
#define STANDIN_SET_INTERFACE 11

typedef struct {
  HANDLE file;
  ULONG timeoutMs; /* 0: no time-out, as the real DLL's default */
  UCHAR alternateSetting;
} StandinInterface;

static BOOL Failed(DWORD error) {
  SetLastError(error);
  return FALSE;
}

__declspec(dllexport) BOOL WINAPI WinUsb_Initialize(HANDLE deviceHandle,
                                                    PWINUSB_INTERFACE_HANDLE interfaceHandle) {
  StandinInterface* opened;
  if (deviceHandle == NULL || deviceHandle == INVALID_HANDLE_VALUE) {
    return Failed(ERROR_INVALID_HANDLE);
  }
  if (interfaceHandle == NULL) return Failed(ERROR_INVALID_PARAMETER);
  opened = (StandinInterface*)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(*opened));
  if (opened == NULL) return Failed(ERROR_NOT_ENOUGH_MEMORY);
  opened->file = deviceHandle;
  *interfaceHandle = opened;
  return TRUE;
}

__declspec(dllexport) BOOL WINAPI WinUsb_Free(WINUSB_INTERFACE_HANDLE interfaceHandle) {
  if (interfaceHandle == NULL) return Failed(ERROR_INVALID_HANDLE);
  HeapFree(GetProcessHeap(), 0, interfaceHandle);
  return TRUE;
}

__declspec(dllexport) BOOL WINAPI WinUsb_SetPipePolicy(WINUSB_INTERFACE_HANDLE interfaceHandle,
                                                       UCHAR pipeId, ULONG policyType,
                                                       ULONG valueLength, PVOID value) {
  StandinInterface* opened = (StandinInterface*)interfaceHandle;
  if (opened == NULL) return Failed(ERROR_INVALID_HANDLE);
  if (pipeId != STANDIN_CONTROL_PIPE) return Failed(ERROR_INVALID_PARAMETER);
  if (policyType != PIPE_TRANSFER_TIMEOUT) return Failed(ERROR_INVALID_PARAMETER);
  if (valueLength != sizeof(ULONG) || value == NULL) return Failed(ERROR_INVALID_PARAMETER);
  opened->timeoutMs = *(const ULONG*)value;
  return TRUE;
}

/* One control transfer through the driver's node; the device's answer
 * decides the outcome: ERROR_GEN_FAILURE for a stall, ERROR_FILE_NOT_FOUND
 * (the device's node has gone) for a device that left the bus,
 * ERROR_SEM_TIMEOUT when the time-out passes first. */
static BOOL Transfer(StandinInterface* opened, WINUSB_SETUP_PACKET setup, PUCHAR buffer,
                     PULONG transferred) {
  const BOOL in = (setup.RequestType & 0x80) != 0;
  const DWORD outBytes = in ? 0 : setup.Length;
  UCHAR* request;
  DWORD returned = 0;
  OVERLAPPED overlapped;
  BOOL done;
  DWORD error = ERROR_SUCCESS;
  request = (UCHAR*)HeapAlloc(GetProcessHeap(), 0, DEVSIM_USB_SETUP_SIZE + outBytes);
  if (request == NULL) return Failed(ERROR_NOT_ENOUGH_MEMORY);
  request[0] = setup.RequestType;
  request[1] = setup.Request;
  request[2] = (UCHAR)setup.Value;
  request[3] = (UCHAR)(setup.Value >> 8);
  request[4] = (UCHAR)setup.Index;
  request[5] = (UCHAR)(setup.Index >> 8);
  request[6] = (UCHAR)setup.Length;
  request[7] = (UCHAR)(setup.Length >> 8);
  if (outBytes > 0 && buffer != NULL) CopyMemory(request + DEVSIM_USB_SETUP_SIZE, buffer, outBytes);
  ZeroMemory(&overlapped, sizeof overlapped);
  overlapped.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
  if (overlapped.hEvent == NULL) {
    HeapFree(GetProcessHeap(), 0, request);
    return Failed(ERROR_NOT_ENOUGH_MEMORY);
  }
  /* The device's file is open for overlapped I/O, as WinUSB requires. */
  done = DeviceIoControl(opened->file, DEVSIM_IOCTL_USB_CONTROL, request,
                         DEVSIM_USB_SETUP_SIZE + outBytes, in ? buffer : NULL,
                         in ? setup.Length : 0, &returned, &overlapped);
  if (!done) error = GetLastError();
  if (!done && error == ERROR_IO_PENDING) {
    const DWORD wait = opened->timeoutMs == 0 ? INFINITE : opened->timeoutMs;
    if (WaitForSingleObject(overlapped.hEvent, wait) != WAIT_OBJECT_0) {
      CancelIoEx(opened->file, &overlapped);
      GetOverlappedResult(opened->file, &overlapped, &returned, TRUE);
      error = ERROR_SEM_TIMEOUT;
    } else {
      done = GetOverlappedResult(opened->file, &overlapped, &returned, FALSE);
      error = done ? ERROR_SUCCESS : GetLastError();
    }
  }
  CloseHandle(overlapped.hEvent);
  HeapFree(GetProcessHeap(), 0, request);
  if (!done) return Failed(error);
  /* Out: the whole data stage went. In: what the device answered. */
  *transferred = in ? returned : outBytes;
  return TRUE;
}

__declspec(dllexport) BOOL WINAPI WinUsb_ControlTransfer(WINUSB_INTERFACE_HANDLE interfaceHandle,
                                                         WINUSB_SETUP_PACKET setupPacket,
                                                         PUCHAR buffer, ULONG bufferLength,
                                                         PULONG lengthTransferred,
                                                         LPOVERLAPPED overlapped) {
  StandinInterface* opened = (StandinInterface*)interfaceHandle;
  ULONG transferred = 0;
  if (opened == NULL) return Failed(ERROR_INVALID_HANDLE);
  /* ZUVA.exe transfers synchronously; the stand-in does too. */
  if (overlapped != NULL) return Failed(ERROR_NOT_SUPPORTED);
  if (setupPacket.Length > bufferLength || (setupPacket.Length > 0 && buffer == NULL) ||
      setupPacket.Length > STANDIN_MAX_CONTROL_TRANSFER) {
    return Failed(ERROR_INVALID_PARAMETER);
  }
  if (lengthTransferred != NULL) *lengthTransferred = 0;
  if (!Transfer(opened, setupPacket, buffer, &transferred)) return FALSE;
  if (lengthTransferred != NULL) *lengthTransferred = transferred;
  return TRUE;
}

/* The interface of the handle is the first of the device: a DFU-mode device
 * has one interface, number 0. */
__declspec(dllexport) BOOL WINAPI WinUsb_SetCurrentAlternateSetting(
    WINUSB_INTERFACE_HANDLE interfaceHandle, UCHAR settingNumber) {
  StandinInterface* opened = (StandinInterface*)interfaceHandle;
  WINUSB_SETUP_PACKET setup;
  ULONG transferred = 0;
  if (opened == NULL) return Failed(ERROR_INVALID_HANDLE);
  setup.RequestType = STANDIN_REQUEST_TYPE_INTERFACE_OUT;
  setup.Request = STANDIN_SET_INTERFACE;
  setup.Value = settingNumber;
  setup.Index = 0;
  setup.Length = 0;
  if (!Transfer(opened, setup, NULL, &transferred)) return FALSE;
  opened->alternateSetting = settingNumber;
  return TRUE;
}
