/* A virtual USB DFU kernel driver for tests: a PnP function driver that
 * exposes its device as a device interface of the DFU interface class and
 * hands every I/O-control request to the device model, an ordinary program
 * (zuva-devsim-pipe.exe) that serves a named pipe. Each device node is one device
 * with a pipe of its own, which the node's registry key names; several nodes
 * are several devices. The model decides every answer: the driver completes a
 * request with the model's outcome and byte count and adds nothing of its
 * own. Message format: devsim_pipe.h.
 *
 * A system thread connects to the pipe, asks the model where the device is on
 * the bus, and asks again every DEVSIM_PIPE_PING_MS; a model that goes away
 * is noticed there (or by the next request) and the thread reconnects when a
 * model serves again. Without a model, requests fail and the device is off
 * the bus: its interface goes when its model goes (a node whose model has
 * ended must not list a device that no longer answers), and there is none
 * before a model first answers. One exchange at a time crosses the pipe,
 * under one mutex.
 *
 * Built without the C runtime and without kernel32 (Wine would take a driver
 * that imports it for a DLL): frames stay small, buffers come from the pool.
 *
 * Built a second time with DEVSIM_DRIVER_WINUSB for a USB device node bound
 * to the WinUSB service (zuva_winusb.inf): its own pipe, the interface class
 * of its registry key, and one more request that the model answers, a plain
 * control transfer (DEVSIM_IOCTL_USB_CONTROL), which our stand-in of
 * winusb.dll sends. */
#include <ntddk.h>

#include "devsim_pipe.h"

#ifdef DEVSIM_DRIVER_WINUSB
/* The second build: the device as a USB device bound to WinUSB, under the
 * interface class its registry key names (DEVSIM_WINUSB_INTERFACE_GUID_TEXT),
 * whatever its mode; the mode shows in the node's compatible ids. */
static const GUID DRIVER_WINUSB_INTERFACE_GUID = {DEVSIM_WINUSB_INTERFACE_GUID_FIELDS};
#define DRIVER_PIPE_NAME DEVSIM_WINUSB_PIPE_NAME_W
#else
/* {3FE809AB-FB91-4CB5-A643-69670D52366E}: devices in DFU mode. */
static const GUID DRIVER_DFU_INTERFACE_GUID = {
    0x3FE809AB, 0xFB91, 0x4CB5, {0xA6, 0x43, 0x69, 0x67, 0x0D, 0x52, 0x36, 0x6E}};
/* {CB979912-5029-420A-AEB1-34FC0A7D5726}: devices in application mode. */
static const GUID DRIVER_APP_INTERFACE_GUID = {
    0xCB979912, 0x5029, 0x420A, {0xAE, 0xB1, 0x34, 0xFC, 0x0A, 0x7D, 0x57, 0x26}};
#define DRIVER_PIPE_NAME DEVSIM_PIPE_NAME_W
#endif

/* The pipe name's prefix, a node number of at most 10 digits, and the end. */
#define DRIVER_PIPE_NAME_CHARS (sizeof(DRIVER_PIPE_NAME) / sizeof(WCHAR) + 10)

#define DRIVER_POOL_TAG 0x4146555Au /* 'ZUFA' */
/* FsContext of a file object: the appearance it was opened on, plus one. */
#define DRIVER_NO_APPEARANCE 0

typedef struct {
  ULONG present;
  ULONG dfuMode;
  ULONG attachment;
} BusPlace;

typedef struct {
  PDEVICE_OBJECT self;
  PDEVICE_OBJECT lower;
  PDEVICE_OBJECT pdo;
  /* The pipe of this node's device. */
  WCHAR pipeName[DRIVER_PIPE_NAME_CHARS];

  /* Guards the pipe, the buffer, the place and the interface. An auto-reset
   * event rather than a kernel mutex: this Wine's kernel mutex can leave a
   * waiter blocked for good while another thread takes and releases it. */
  KEVENT lock;
  HANDLE pipe; /* NULL while no model is connected */
  UCHAR* buffer;
  BusPlace place;
  BOOLEAN started;
  BOOLEAN linkEnabled;
  UNICODE_STRING link;

  KEVENT stop;
  KEVENT threadDone;
  BOOLEAN threadRunning;
} DriverDevice;

static void LockDevice(DriverDevice* device) {
  KeWaitForSingleObject(&device->lock, Executive, KernelMode, FALSE, NULL);
}

static void UnlockDevice(DriverDevice* device) { KeSetEvent(&device->lock, IO_NO_INCREMENT, FALSE); }

static void PutU32(UCHAR* at, ULONG value) {
  at[0] = (UCHAR)value;
  at[1] = (UCHAR)(value >> 8);
  at[2] = (UCHAR)(value >> 16);
  at[3] = (UCHAR)(value >> 24);
}

static ULONG GetU32(const UCHAR* at) {
  return (ULONG)at[0] | ((ULONG)at[1] << 8) | ((ULONG)at[2] << 16) | ((ULONG)at[3] << 24);
}

static void CopyBytes(UCHAR* to, const UCHAR* from, ULONG count) {
  ULONG i;
  for (i = 0; i < count; ++i) to[i] = from[i];
}

/* ------------------------------------------------------------------------ */
/* The device interface */

static void DisableLink(DriverDevice* device) {
  if (!device->linkEnabled) return;
  IoSetDeviceInterfaceState(&device->link, FALSE);
  RtlFreeUnicodeString(&device->link);
  device->linkEnabled = FALSE;
}

static const GUID* InterfaceClassOf(const BusPlace* place) {
#ifdef DEVSIM_DRIVER_WINUSB
  (void)place;
  return &DRIVER_WINUSB_INTERFACE_GUID;
#else
  return place->dfuMode ? &DRIVER_DFU_INTERFACE_GUID : &DRIVER_APP_INTERFACE_GUID;
#endif
}

/* Enables the interface of the place, after disabling the one before it, so
 * that a device that leaves and comes back is removed first and then arrives.
 * The interface has no reference string (this Wine cannot enable one that
 * has), so its path names the interface class and the device node only: an
 * application-mode device that detaches comes back in DFU mode under another
 * path. Called with the lock held. */
static void ShowPlace(DriverDevice* device, const BusPlace* place) {
  const int same = device->place.present == place->present &&
                   device->place.dfuMode == place->dfuMode &&
                   device->place.attachment == place->attachment;
  device->place = *place;
  if (!device->started || (same && (device->linkEnabled || !place->present))) return;
  DisableLink(device);
  if (!place->present) return;
  if (!NT_SUCCESS(IoRegisterDeviceInterface(device->pdo, InterfaceClassOf(place), NULL,
                                            &device->link))) {
    return;
  }
  if (NT_SUCCESS(IoSetDeviceInterfaceState(&device->link, TRUE))) {
    device->linkEnabled = TRUE;
  } else {
    RtlFreeUnicodeString(&device->link);
  }
}

/* ------------------------------------------------------------------------ */
/* The pipe to the model */

static void Disconnect(DriverDevice* device) {
  if (device->pipe == NULL) return;
  ZwClose(device->pipe);
  device->pipe = NULL;
}

static BOOLEAN Connect(DriverDevice* device) {
  UNICODE_STRING name;
  OBJECT_ATTRIBUTES attributes;
  IO_STATUS_BLOCK io;
  HANDLE pipe = NULL;
  NTSTATUS status;
  RtlInitUnicodeString(&name, device->pipeName);
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL,
                             NULL);
  status = ZwCreateFile(&pipe, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, &attributes, &io, NULL,
                        FILE_ATTRIBUTE_NORMAL, 0, FILE_OPEN,
                        FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, NULL, 0);
  if (!NT_SUCCESS(status)) return FALSE;
  device->pipe = pipe;
  return TRUE;
}

static BOOLEAN WriteAll(DriverDevice* device, const UCHAR* data, ULONG count) {
  while (count > 0) {
    IO_STATUS_BLOCK io;
    NTSTATUS status = ZwWriteFile(device->pipe, NULL, NULL, NULL, &io, (PVOID)data, count, NULL,
                                  NULL);
    if (!NT_SUCCESS(status) || io.Information == 0 || io.Information > count) return FALSE;
    data += io.Information;
    count -= (ULONG)io.Information;
  }
  return TRUE;
}

/* A byte-mode pipe may hand a message over in pieces. */
static BOOLEAN ReadAll(DriverDevice* device, UCHAR* data, ULONG count) {
  while (count > 0) {
    IO_STATUS_BLOCK io;
    NTSTATUS status = ZwReadFile(device->pipe, NULL, NULL, NULL, &io, data, count, NULL, NULL);
    if (!NT_SUCCESS(status) || io.Information == 0 || io.Information > count) return FALSE;
    data += io.Information;
    count -= (ULONG)io.Information;
  }
  return TRUE;
}

/* The model has gone: its device with it, until a model serves again. */
static void LoseModel(DriverDevice* device) {
  BusPlace gone = device->place;
  Disconnect(device);
  gone.present = FALSE;
  ShowPlace(device, &gone);
}

/* One exchange with the model; called with the lock held. The request's input
 * is already in the buffer after the header. On success the reply's output is
 * in the buffer from offset 0 (*returned bytes, at most outputSize) and the
 * interface matches the device's place. False when no model answers; the
 * pipe is then closed and a model that was there has taken its device off
 * the bus. */
static BOOLEAN Exchange(DriverDevice* device, ULONG kind, ULONG attachment, ULONG code,
                        ULONG inputSize, ULONG outputSize, BOOLEAN* completed, ULONG* returned) {
  UCHAR* buffer = device->buffer;
  BusPlace place;
  ULONG count;
  if (device->pipe == NULL && !Connect(device)) return FALSE;
  PutU32(buffer, kind);
  PutU32(buffer + 4, attachment);
  PutU32(buffer + 8, code);
  PutU32(buffer + 12, inputSize);
  PutU32(buffer + 16, outputSize);
  if (!WriteAll(device, buffer, DEVSIM_PIPE_REQUEST_HEADER_SIZE + inputSize) ||
      !ReadAll(device, buffer, DEVSIM_PIPE_REPLY_HEADER_SIZE)) {
    LoseModel(device);
    return FALSE;
  }
  *completed = GetU32(buffer) != 0;
  count = GetU32(buffer + 4);
  place.present = GetU32(buffer + 8) != 0;
  place.dfuMode = GetU32(buffer + 12) != 0;
  place.attachment = GetU32(buffer + 16);
  /* A model that answers more than was asked for is out of step. */
  if (count > outputSize || !ReadAll(device, buffer, count)) {
    LoseModel(device);
    return FALSE;
  }
  *returned = count;
  ShowPlace(device, &place);
  return TRUE;
}

static VOID NTAPI ConnectionThread(PVOID context) {
  DriverDevice* device = (DriverDevice*)context;
  LARGE_INTEGER interval;
  interval.QuadPart = -10000LL * DEVSIM_PIPE_PING_MS;
  for (;;) {
    BOOLEAN completed = FALSE;
    ULONG returned = 0;
    LockDevice(device);
    Exchange(device, DEVSIM_PIPE_HELLO, 0, 0, 0, 0, &completed, &returned);
    UnlockDevice(device);
    if (KeWaitForSingleObject(&device->stop, Executive, KernelMode, FALSE, &interval) !=
        STATUS_TIMEOUT) {
      break;
    }
  }
  KeSetEvent(&device->threadDone, IO_NO_INCREMENT, FALSE);
  PsTerminateSystemThread(STATUS_SUCCESS);
}

/* ------------------------------------------------------------------------ */
/* Dispatch */

static NTSTATUS CompleteIrp(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

/* Every handle is bound to the appearance of the device it was opened on: a
 * device that left the bus answers nothing through it, even after it came
 * back under another path. */
static NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT object, PIRP irp) {
  DriverDevice* device = (DriverDevice*)object->DeviceExtension;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  ULONG_PTR appearance;
  BOOLEAN gone;
  LockDevice(device);
  appearance = device->place.attachment + 1;
  gone = device->pipe != NULL && !device->place.present;
  UnlockDevice(device);
  /* A device that the model has taken off the bus opens no more. */
  if (gone) return CompleteIrp(irp, STATUS_NO_SUCH_DEVICE, 0);
  if (stack->FileObject != NULL) stack->FileObject->FsContext = (PVOID)appearance;
  return CompleteIrp(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT object, PIRP irp) {
  (void)object;
  return CompleteIrp(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT object, PIRP irp) {
  DriverDevice* device = (DriverDevice*)object->DeviceExtension;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  const ULONG inputSize = stack->Parameters.DeviceIoControl.InputBufferLength;
  const ULONG outputSize = stack->Parameters.DeviceIoControl.OutputBufferLength;
  UCHAR* system = (UCHAR*)irp->AssociatedIrp.SystemBuffer;
  ULONG_PTR appearance = stack->FileObject != NULL ? (ULONG_PTR)stack->FileObject->FsContext
                                                   : DRIVER_NO_APPEARANCE;
  BOOLEAN completed = FALSE;
  ULONG returned = 0;
  NTSTATUS status = STATUS_DEVICE_NOT_CONNECTED;
  /* Buffered requests only: both directions share the system buffer. */
  if ((code & 3) != METHOD_BUFFERED || inputSize > DEVSIM_PIPE_MAX_DATA ||
      outputSize > DEVSIM_PIPE_MAX_DATA || ((inputSize != 0 || outputSize != 0) && system == NULL) ||
      appearance == DRIVER_NO_APPEARANCE) {
    return CompleteIrp(irp, STATUS_INVALID_PARAMETER, 0);
  }
  LockDevice(device);
  CopyBytes(device->buffer + DEVSIM_PIPE_REQUEST_HEADER_SIZE, system, inputSize);
  if (Exchange(device, DEVSIM_PIPE_IOCTL, (ULONG)(appearance - 1), code, inputSize, outputSize,
               &completed, &returned)) {
    if (completed) {
      CopyBytes(system, device->buffer, returned);
      status = STATUS_SUCCESS;
    } else {
      /* A device that has left the bus, or come back as another appearance,
       * is not there for this handle; any other failure is the device's
       * refusal. */
      const BOOLEAN gone = !device->place.present || device->place.attachment != appearance - 1;
      status = gone ? STATUS_NO_SUCH_DEVICE : STATUS_UNSUCCESSFUL;
      returned = 0;
    }
  }
  UnlockDevice(device);
  return CompleteIrp(irp, status, NT_SUCCESS(status) ? returned : 0);
}

/* ------------------------------------------------------------------------ */
/* Plug and play */

static NTSTATUS NTAPI ForwardDone(PDEVICE_OBJECT object, PIRP irp, PVOID context) {
  (void)object;
  (void)irp;
  KeSetEvent((PKEVENT)context, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

/* Passes the request down and waits until the lower driver has completed it. */
static NTSTATUS ForwardAndWait(DriverDevice* device, PIRP irp) {
  KEVENT done;
  NTSTATUS status;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, ForwardDone, &done, TRUE, TRUE, TRUE);
  status = IoCallDriver(device->lower, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    status = irp->IoStatus.Status;
  }
  return status;
}

static NTSTATUS PassDown(DriverDevice* device, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(device->lower, irp);
}

static void StopConnection(DriverDevice* device) {
  if (!device->threadRunning) return;
  KeSetEvent(&device->stop, IO_NO_INCREMENT, FALSE);
  KeWaitForSingleObject(&device->threadDone, Executive, KernelMode, FALSE, NULL);
  device->threadRunning = FALSE;
}

static NTSTATUS StartDevice(DriverDevice* device) {
  HANDLE thread = NULL;
  BusPlace place;
  LockDevice(device);
  device->started = TRUE;
  /* The device shows up once a model says where it is: a node whose model
   * does not run lists nothing. */
  place = device->place;
  device->place.present = FALSE;
  ShowPlace(device, &place);
  UnlockDevice(device);
  if (!device->threadRunning &&
      NT_SUCCESS(PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, NULL, NULL, NULL,
                                      ConnectionThread, device))) {
    device->threadRunning = TRUE;
    ZwClose(thread);
  }
  return STATUS_SUCCESS;
}

static void StopDevice(DriverDevice* device) {
  StopConnection(device);
  LockDevice(device);
  DisableLink(device);
  Disconnect(device);
  device->started = FALSE;
  UnlockDevice(device);
}

static NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT object, PIRP irp) {
  DriverDevice* device = (DriverDevice*)object->DeviceExtension;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status;
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
      status = ForwardAndWait(device, irp);
      if (NT_SUCCESS(status)) status = StartDevice(device);
      return CompleteIrp(irp, status, irp->IoStatus.Information);
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_STOP_DEVICE:
      StopDevice(device);
      irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(device, irp);
    case IRP_MN_REMOVE_DEVICE: {
      PDEVICE_OBJECT lower = device->lower;
      StopDevice(device);
      irp->IoStatus.Status = STATUS_SUCCESS;
      status = PassDown(device, irp);
      IoDetachDevice(lower);
      if (device->buffer != NULL) ExFreePoolWithTag(device->buffer, DRIVER_POOL_TAG);
      IoDeleteDevice(object);
      return status;
    }
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(device, irp);
    default:
      return PassDown(device, irp);
  }
}

static NTSTATUS NTAPI DispatchPassDown(PDEVICE_OBJECT object, PIRP irp) {
  return PassDown((DriverDevice*)object->DeviceExtension, irp);
}

/* The node's number among the virtual devices: the value DEVSIM_NODE_VALUE of
 * its device key, 0 without it. */
static ULONG NodeNumberOf(PDEVICE_OBJECT pdo) {
  struct {
    KEY_VALUE_PARTIAL_INFORMATION info;
    UCHAR room[sizeof(ULONG)];
  } value;
  UNICODE_STRING name;
  HANDLE key = NULL;
  ULONG length = 0;
  ULONG number = 0;
  if (!NT_SUCCESS(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key))) return 0;
  RtlInitUnicodeString(&name, DEVSIM_NODE_VALUE_W);
  if (NT_SUCCESS(ZwQueryValueKey(key, &name, KeyValuePartialInformation, &value, sizeof value,
                                 &length)) &&
      value.info.Type == REG_DWORD && value.info.DataLength == sizeof(ULONG)) {
    number = GetU32(value.info.Data);
  }
  ZwClose(key);
  return number;
}

/* DRIVER_PIPE_NAME followed by `number` in decimal. */
static void NamePipe(WCHAR* name, ULONG number) {
  static const WCHAR prefix[] = DRIVER_PIPE_NAME;
  WCHAR digits[10];
  ULONG count = 0;
  ULONG at = 0;
  for (; prefix[at] != 0; ++at) name[at] = prefix[at];
  do {
    digits[count++] = (WCHAR)(L'0' + number % 10);
    number /= 10;
  } while (number != 0);
  while (count > 0) name[at++] = digits[--count];
  name[at] = 0;
}

static NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT object = NULL;
  DriverDevice* device;
  NTSTATUS status = IoCreateDevice(driver, sizeof(DriverDevice), NULL, FILE_DEVICE_UNKNOWN,
                                   FILE_DEVICE_SECURE_OPEN, FALSE, &object);
  if (!NT_SUCCESS(status)) return status;
  device = (DriverDevice*)object->DeviceExtension;
  RtlZeroMemory(device, sizeof(*device));
  device->self = object;
  device->pdo = pdo;
  NamePipe(device->pipeName, NodeNumberOf(pdo));
  device->place.present = FALSE;
  device->place.dfuMode = TRUE;
  device->place.attachment = 0;
  KeInitializeEvent(&device->lock, SynchronizationEvent, TRUE);
  KeInitializeEvent(&device->stop, NotificationEvent, FALSE);
  KeInitializeEvent(&device->threadDone, NotificationEvent, FALSE);
  device->buffer = (UCHAR*)ExAllocatePoolWithTag(
      NonPagedPool, DEVSIM_PIPE_REQUEST_HEADER_SIZE + DEVSIM_PIPE_MAX_DATA, DRIVER_POOL_TAG);
  if (device->buffer == NULL) {
    IoDeleteDevice(object);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  device->lower = IoAttachDeviceToDeviceStack(object, pdo);
  if (device->lower == NULL) {
    ExFreePoolWithTag(device->buffer, DRIVER_POOL_TAG);
    IoDeleteDevice(object);
    return STATUS_NO_SUCH_DEVICE;
  }
  object->Flags |= DO_BUFFERED_IO;
  object->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

static VOID NTAPI DriverUnload(PDRIVER_OBJECT driver) { (void)driver; }

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  ULONG i;
  (void)registryPath;
  for (i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) driver->MajorFunction[i] = DispatchPassDown;
  driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
  driver->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
  driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  driver->DriverExtension->AddDevice = AddDevice;
  driver->DriverUnload = DriverUnload;
  return STATUS_SUCCESS;
}
