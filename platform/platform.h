// The narrow interface through which the system reaches the operating system.
// Nothing outside platform/ includes an operating-system or libusb header; each
// function here has one implementation per platform (posix/, win32/) or a
// portable one in this folder.
#ifndef ZUVA_PLATFORM_PLATFORM_H_
#define ZUVA_PLATFORM_PLATFORM_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/guid.h"

// ---------------------------------------------------------------------------
// Process

// Whether the program's own module can be named (Windows: GetModuleHandleA of
// no module name). Always true on Linux.
bool PlatformHasOwnModule();

// The raw image built into the executable (Windows: RCDATA 101 of the module;
// Linux: the same bytes linked in). False, with *data null and *size 0, when
// there is none.
bool PlatformLoadDefaultImage(const uint8_t** data, size_t* size);

// Lowers the calling thread a little below its process (Windows:
// THREAD_PRIORITY_LOWEST, two steps below normal; Linux: nice +2).
void PlatformLowerThreadPriority();

// Blocks until no device installation is pending. Returns at once where the
// platform has no such notion or the call is missing.
void PlatformWaitNoPendingInstallations();

// ---------------------------------------------------------------------------
// Console

// Formatted output to standard output; every message reaches the console at
// once (no buffering across messages).
void ConsolePrintf(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Reads one character from standard input; -1 at end of input.
int ConsoleReadChar();

// ---------------------------------------------------------------------------
// Files

// True for an existing file or directory.
bool PlatformPathExists(const std::string& path);

// True when both paths exist and name one file, however they reach it (a
// symbolic or hard link, another spelling of the path): the identities are
// compared, not the names (Linux: device and inode; Windows: volume serial
// number and file index).
bool PlatformSameFile(const std::string& first, const std::string& second);

// An open file. Errors are the operating system's error numbers (errno on
// Linux, GetLastError on Windows); 0xFFFFFFFF for a failure found before the
// operating system was asked.
//
// Only regular files open: a directory, a device (/dev/zero, NUL, CON), a
// FIFO or a socket is refused with PLATFORM_ERROR_NOT_A_FILE (a directory
// keeps its own number: EISDIR, ERROR_ACCESS_DENIED), and an open never
// waits for a FIFO's other end.
extern const uint32_t PLATFORM_ERROR_NOT_A_FILE;  // EINVAL, ERROR_INVALID_PARAMETER
// Another holder has the file open without sharing.
extern const uint32_t PLATFORM_ERROR_IN_USE;  // EWOULDBLOCK, ERROR_SHARING_VIOLATION

class PlatformFile {
 public:
  enum class Mode {
    kReadExclusive,     // existing file, read only, no sharing with others
    kCreateReadWrite,   // created or truncated, read and write, no sharing
    kOpenReadWrite,     // existing file, read and write, no sharing
    kReadShared,        // existing file, read only, shared with other readers
    kOpenAlwaysReadWrite,  // existing or created, kept as it is, read and write; no
                           // other writer (readers that take no lock may look)
  };
  enum class Origin { kBegin, kCurrent, kEnd };

  PlatformFile();
  ~PlatformFile();  // closes
  PlatformFile(const PlatformFile&) = delete;
  PlatformFile& operator=(const PlatformFile&) = delete;

  // 0 on success, else the error number.
  uint32_t Open(const std::string& path, Mode mode);
  bool IsOpen() const;
  void Close();

  // Each returns false on failure and keeps the error number in LastError().
  bool Read(void* buffer, size_t count, size_t* bytesRead);
  bool Write(const void* buffer, size_t count);
  bool Seek(int64_t offset, Origin origin, uint64_t* newPosition);
  bool SetLength(uint64_t length);
  bool Flush();
  uint32_t LastError() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// ---------------------------------------------------------------------------
// Driver port: the five I/O-control requests of the DFU driver (codes and
// buffer layouts in protocol/driver_requests.h). A path that begins with a
// registered backend's prefix (the virtual device's "sim:") goes to that
// backend; every other path goes to the system's own driver: the kernel
// driver or WinUSB on Windows, libusb for "usb:" paths on Linux.

using DriverHandle = uintptr_t;  // 0: not open
constexpr DriverHandle DRIVER_INVALID_HANDLE = 0;

// Opens a device-interface path for exclusive read/write access. Returns
// DRIVER_INVALID_HANDLE on failure.
DriverHandle DriverOpen(const std::string& path);

// Sends one I/O-control request. True when the driver completed it; the count
// of output bytes goes to *bytesReturned.
bool DriverIoControl(DriverHandle handle, uint32_t code, const void* input, uint32_t inputSize,
                     void* output, uint32_t outputSize, uint32_t* bytesReturned);

void DriverClose(DriverHandle handle);

// One present device interface.
struct InterfaceInfo {
  std::string path;
  bool hasDescription = false;  // false: the description cannot be read
  std::string description;
};

// The present interfaces of an interface class, in listing order: real
// devices first, virtual devices last. False when no list can be had.
bool EnumerateInterfaces(const Guid& interfaceClass, std::vector<InterfaceInfo>* interfaces);

// An open device connection of a backend.
class DriverConnection {
 public:
  virtual ~DriverConnection() = default;
  virtual bool IoControl(uint32_t code, const void* input, uint32_t inputSize, void* output,
                         uint32_t outputSize, uint32_t* bytesReturned) = 0;
};

// A source of devices other than the platform's native driver: the virtual
// device (prefix "sim:") or a test's fake.
class DriverBackend {
 public:
  virtual ~DriverBackend() = default;
  virtual std::string PathPrefix() const = 0;
  // Virtual backends are listed after the real ones.
  virtual bool IsVirtual() const = 0;
  virtual std::unique_ptr<DriverConnection> Open(const std::string& path) = 0;
  virtual void Enumerate(const Guid& interfaceClass, std::vector<InterfaceInfo>* interfaces) = 0;
};

// Registration is done by the console thread at start-up (or by a test) and
// undone before the backend is destroyed.
void RegisterDriverBackend(std::shared_ptr<DriverBackend> backend);
void UnregisterDriverBackend(const DriverBackend* backend);

// ---------------------------------------------------------------------------
// Device-change events

enum class DeviceChangeKind { kArrival, kRemoval };

struct DeviceChangeEvent {
  DeviceChangeKind kind;
  Guid interfaceClass;
  std::string path;
};

class DeviceEventSink {
 public:
  virtual ~DeviceEventSink() = default;
  virtual void OnDeviceChange(const DeviceChangeEvent& event) = 0;
};

// Registers a sink for arrivals and removals of interfaces of the given
// classes. The sink belongs to the thread that creates the notifier: events
// reach it only when that thread calls PumpThreadMessages (Windows: a hidden
// window's WM_DEVICECHANGE; virtual devices and libusb hot-plug: a per-thread
// queue drained by the same pump). Destroying the notifier unregisters it.
class DeviceNotifier {
 public:
  virtual ~DeviceNotifier() = default;
  static std::unique_ptr<DeviceNotifier> Create(DeviceEventSink* sink,
                                                const std::vector<Guid>& interfaceClasses);
};

// Queues an event for every notifier of its class, on the notifier's thread.
// Safe from any thread; used by virtual devices and the libusb hot-plug.
void PostDeviceChange(const DeviceChangeEvent& event);

// Dispatches every window message and queued device-change event waiting for
// the calling thread.
void PumpThreadMessages();

// An auto-reset signal that one thread sets and another waits for.
class WakeSignal {
 public:
  WakeSignal();
  ~WakeSignal();
  WakeSignal(const WakeSignal&) = delete;
  WakeSignal& operator=(const WakeSignal&) = delete;
  void Set();
  // Waits until the signal is set (and resets it) or the time-out passes.
  bool Wait(uint32_t timeoutMs);

  struct Impl;
  Impl* impl() { return impl_.get(); }

 private:
  std::unique_ptr<Impl> impl_;
};

// Blocks the calling thread until the signal is set, a window message or a
// device-change event is queued for the thread, or the time-out passes.
void WaitForSignalOrThreadMessages(WakeSignal* signal, uint32_t timeoutMs);

// ---------------------------------------------------------------------------
// Text

// UTF-16LE code units to the console's narrow encoding (Windows: the thread's
// ANSI code page; Linux: UTF-8); unmappable characters become '?'.
std::string Utf16ToConsoleText(const uint16_t* units, size_t count);

#endif  // ZUVA_PLATFORM_PLATFORM_H_
