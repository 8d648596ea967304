// The description of a virtual device: identity, DFU functional descriptor,
// timing, mode and the memory-map strings of its alternate settings, as read
// from a profile file of `key = value` lines.
#ifndef ZUVA_SIM_PROFILE_H_
#define ZUVA_SIM_PROFILE_H_

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

enum class SimTiming { kFast, kReal };

// Without a serial key every device of a profile has this serial number, as
// boards of some makers do.
constexpr char SIM_DEFAULT_SERIAL[] = "ZUVA00000001";
// The flash's own times under real timing: 1 s per 128 KiB erased, 8 ms per
// 2 KiB programmed.
constexpr uint32_t SIM_DEFAULT_ERASE_US_PER_KIB = 7813;
constexpr uint32_t SIM_DEFAULT_PROGRAM_US_PER_KIB = 4000;
// The most vendor interfaces before the DFU interface: with the run-time
// interface they fit the 512-byte configuration block many times over.
constexpr uint8_t SIM_MAX_EXTRA_INTERFACES = 16;
// The memory of each alternate setting of a plain DFU device without a
// `memory-size` key.
constexpr uint32_t SIM_DEFAULT_PLAIN_MEMORY_SIZE = 524288;
// A poll time-out is a 24-bit field.
constexpr uint32_t SIM_MAX_POLL_TIMEOUT_MS = 0xFFFFFF;
enum class SimMode { kDfu, kApplication };
// What the device does at the leave request (a download of length 0):
// answer dfuMANIFEST to the status request and reset by itself, reset at
// once, or answer dfuMANIFEST and wait in dfuMANIFEST-WAIT-RESET for the
// host's USB reset.
enum class SimLeave { kManifest, kReset, kWaitReset };
// Where the device is after the reset that follows the leave request.
enum class SimAfterLeave { kGone, kDfu, kApplication };

// One alternate setting of the DFU interface.
struct SimAlternate {
  bool hasString = false;  // false: iInterface 0
  std::string text;        // the interface string, UTF-8
};

struct SimProfile {
  bool hasDescription = false;  // false: enumeration has no description
  std::string description;
  uint16_t vendor = 0;
  uint16_t product = 0;
  uint16_t device = 0;
  uint16_t dfuVersion = 0;
  uint8_t attributes = 0;
  uint16_t detachTimeout = 0;
  uint16_t transferSize = 0;
  SimTiming timing = SimTiming::kFast;
  SimMode mode = SimMode::kDfu;
  std::vector<SimAlternate> alternates;

  // How real bootloaders differ from the ideal device (sim/PROFILES.md).
  std::string serial = SIM_DEFAULT_SERIAL;  // the serial-number string
  bool serialAuto = false;                  // "SIM" and the device's number instead
  bool hasPollTimeout = false;              // false: busy answers announce what remains
  uint32_t pollTimeoutMs = 0;               // announced by every busy answer
  bool statusHold = false;                  // a status request waits until the work is done
  uint32_t eraseUsPerKib = SIM_DEFAULT_ERASE_US_PER_KIB;
  uint32_t programUsPerKib = SIM_DEFAULT_PROGRAM_US_PER_KIB;
  bool hasMassEraseMs = false;  // false: the erase time of every sector of alternate 0
  uint32_t massEraseMs = 0;
  // The mass erase is taken and reported done but erases nothing, as on
  // loaders that read every erase command as a sector erase whatever its
  // length.
  bool massEraseIgnored = false;
  SimLeave leave = SimLeave::kManifest;
  bool readoutProtected = false;  // read-out protection until a read-unprotect
  uint8_t extraInterfaces = 0;    // vendor interfaces before the run-time DFU interface
  uint32_t arriveAfterMs = 0;     // joins the bus this long after it is installed
  SimAfterLeave afterLeave = SimAfterLeave::kGone;
  // Back from the leave under the path it had, as a board whose path names
  // its port, rather than under a new one.
  bool afterLeaveSamePath = false;
  // A plain DFU device (dfuVersion below 1.1A): each alternate setting is a
  // named memory of this many bytes, filled and read from its start.
  uint32_t memorySize = SIM_DEFAULT_PLAIN_MEMORY_SIZE;
  // Device stacks whose DFU state machine differs from the ideal one.
  bool uploadStaysIdle = false;       // dfuIDLE after every upload block
  bool uploadInDownloadIdle = false;  // an upload in dfuDNLOAD-IDLE is answered
  bool corrupt64 = false;             // at transfer size 64 a block's first bytes are lost
};

// Whether the profile describes a plain DFU device rather than a DfuSe one:
// a version below the DfuSe one and no interface string that is a memory map
// (a device that publishes maps is a DfuSe device whatever it announces).
bool SimIsPlainDfu(const SimProfile& profile);

// The text of the default profile, line for line.
extern const char SIM_DEFAULT_PROFILE_TEXT[];

// At most this many alternate settings fit, with the configuration and the
// functional descriptor, in the 512 bytes the driver returns per configuration.
constexpr size_t SIM_MAX_ALTERNATES = 54;
// A string descriptor holds at most 126 UTF-16 code units.
constexpr size_t SIM_MAX_STRING_UNITS = 126;

SimProfile SimDefaultProfile();

// Parses profile text. Keys that are left out keep the default profile's
// values, except `description` (absent: no description); `alt` lines, when
// there is at least one, replace the default alternate settings. On failure
// *error names `sourceName` and the line, and *profile is unchanged.
bool SimParseProfile(std::string_view text, const std::string& sourceName, SimProfile* profile,
                     std::string* error);

// Reads and parses a profile file.
bool SimLoadProfile(const std::string& path, SimProfile* profile, std::string* error);

// A number in decimal or with a 0x/0X prefix in hexadecimal (digits in either
// case), the whole text, at most `maximum`.
bool SimParseNumber(std::string_view text, uint64_t maximum, uint64_t* value);

// The pieces joined into one string. Appending (rather than chains of
// operator+) also keeps GCC 12's false -Wrestrict report on MinGW away.
std::string SimJoin(std::initializer_list<std::string_view> pieces);

// UTF-8 text as UTF-16 code units; an invalid byte becomes U+FFFD.
std::u16string SimUtf8ToUtf16(std::string_view text);

#endif  // ZUVA_SIM_PROFILE_H_
