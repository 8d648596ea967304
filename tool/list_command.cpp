// list: every DFU device and what it offers.
#include <cstdio>

#include "tool/device_selection.h"
#include "tool/exit_code.h"
#include "tool/json_line.h"
#include "tool/plain_commands.h"
#include "tool/tool_commands.h"
#include "tool/tool_text.h"

namespace {

std::string Access(uint8_t type) {
  std::string access;
  if (type & SECTOR_READABLE) access += 'r';
  if (type & SECTOR_ERASABLE) access += 'e';
  if (type & SECTOR_WRITABLE) access += 'w';
  return access.empty() ? "-" : access;
}

// Runs of equal sectors, as the memory-map string groups them: the start of
// the run, its sector count and size, its access.
struct SectorRun {
  uint32_t start;
  uint32_t count;
  uint32_t size;
  uint8_t type;
};

std::vector<SectorRun> SectorRuns(const MemoryMapping& memory) {
  std::vector<SectorRun> runs;
  for (const MappingSector& sector : memory.sectors) {
    if (sector.inUse == 0) continue;
    const uint8_t type = sector.sectorType & 0x07;
    if (!runs.empty() && runs.back().size == sector.sectorSize && runs.back().type == type &&
        uint64_t{runs.back().start} + uint64_t{runs.back().count} * runs.back().size ==
            sector.startAddress) {
      ++runs.back().count;
    } else {
      runs.push_back({sector.startAddress, 1, sector.sectorSize, type});
    }
  }
  return runs;
}

std::string DeviceJson(const DfuDeviceInfo& device) {
  CJsonObject json;
  json.Text("event", "device").Text("path", device.path).Bool("opened", device.opened);
  json.Text("mode", device.dfuMode ? "dfu" : "application");
  json.Text("description", device.description);
  const std::string refusal = OpenRefusalText(device);
  if (!refusal.empty()) json.Text("error", refusal.substr(2));  // after ": "
  if (device.opened) {
    json.Text("vid", HexText(device.vendorId, 4))
        .Text("pid", HexText(device.productId, 4))
        .Text("bcd", HexText(device.deviceVersion, 4))
        .Text("serial", device.serial)
        .Text("dfu_version", HexText(device.dfuVersion, 4))
        .Text("protocol", IsPlainDfuDevice(device) ? "dfu" : "dfuse")
        .Number("transfer_size", device.transferSize)
        .Number("interface", device.interfaceNumber);
    std::string alternates = "[";
    for (const DfuAlternateInfo& alternate : device.alternates) {
      if (alternates.size() > 1) alternates += ",";
      CJsonObject alt;
      alt.Number("alt", alternate.alternateSetting).Text("name", alternate.name);
      if (alternate.hasMemory) {
        alt.Text("memory", alternate.memory.memoryName);
        std::string runs = "[";
        for (const SectorRun& run : SectorRuns(alternate.memory)) {
          if (runs.size() > 1) runs += ",";
          runs += CJsonObject()
                      .Text("address", HexText(run.start, 8))
                      .Number("sectors", run.count)
                      .Number("sector_size", run.size)
                      .Text("access", Access(run.type))
                      .Str();
        }
        alt.Raw("sectors", runs + "]");
      }
      alternates += alt.Str();
    }
    json.Raw("alternates", alternates + "]");
  }
  return json.Str();
}

void PrintDevice(const DfuDeviceInfo& device) {
  std::printf("%s\n", ShownText(device.path).c_str());
  std::printf("  description: %s\n",
              device.description.empty() ? "(none)" : ShownText(device.description).c_str());
  std::printf("  mode: %s\n", device.dfuMode ? "DFU" : "application");
  if (!device.opened) {
    std::printf("  cannot be opened%s\n", OpenRefusalText(device).c_str());
    return;
  }
  std::printf("  id: %04x:%04x  bcdDevice %04x  serial %s\n", device.vendorId, device.productId,
              device.deviceVersion, device.serial.empty() ? "(none)" : ShownText(device.serial).c_str());
  std::printf("  DFU version %x.%02x (%s), transfer size %u, interface %u\n", device.dfuVersion >> 8,
              device.dfuVersion & 0xFF, IsPlainDfuDevice(device) ? "plain DFU" : "DfuSe",
              device.transferSize, device.interfaceNumber);
  for (const DfuAlternateInfo& alternate : device.alternates) {
    std::printf("  alt %u: %s\n", alternate.alternateSetting, ShownText(alternate.name).c_str());
    if (!alternate.hasMemory) continue;
    for (const SectorRun& run : SectorRuns(alternate.memory)) {
      std::printf("    0x%08X  %u x %u bytes  %s\n", run.start, run.count, run.size,
                  Access(run.type).c_str());
    }
  }
}

}  // namespace

int RunListCommand(const ToolOptions& options, CToolOutput* out) {
  std::vector<DfuDeviceInfo> devices;
  ListDfuDevices(&devices);
  size_t shown = 0;
  bool unopened = false;
  const DfuDeviceInfo* denied = nullptr;  // the first one the system refused access to
  for (const DfuDeviceInfo& device : devices) {
    if (!MatchesSelectors(device, options)) continue;
    ++shown;
    if (!device.opened) unopened = true;
    if (denied == nullptr && device.openStatus == DEV_ERR_ACCESS_DENIED) denied = &device;
    if (out->mode() == OutputMode::kJson) {
      out->JsonLine(DeviceJson(device));
    } else {
      PrintDevice(device);
    }
  }
  ToolFlushStdout();
  if (shown == 0) return out->Result(TOOL_EXIT_NO_DEVICE, "no DFU device found");
  return out->Result(TOOL_EXIT_OK, "", unopened ? OpenFailureHint(denied) : "");
}
