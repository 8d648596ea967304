#include "sim/sim_recorder.h"

#include <algorithm>
#include <new>

#include "protocol/byte_order.h"
#include "protocol/dfu.h"

namespace {

// How many bytes of a host-to-device data stage the log keeps.
constexpr size_t SIM_LOGGED_DATA_BYTES = 64;

// An answer of `planned` bytes instead of the device's *moved, in room for
// `asked`: cut short, or padded with zeros; more than the host asked for
// overflows the transfer, which then carries nothing.
SimOutcome ResizeAnswer(uint32_t planned, uint32_t asked, uint8_t* data, uint32_t* moved) {
  if (planned > asked) {
    *moved = 0;
    return SimOutcome::kOverflow;
  }
  if (planned > *moved) std::fill(data + *moved, data + planned, uint8_t{0});
  *moved = planned;
  return SimOutcome::kOk;
}

}  // namespace

CSimRecorder::CSimRecorder(Key, std::unique_ptr<CDfuDevice> device, SimFaultPlan plan,
                           std::FILE* trace)
    : device_(std::move(device)), plan_(std::move(plan)), trace_(trace) {}

CSimRecorder::~CSimRecorder() {
  if (trace_ != nullptr) std::fclose(trace_);
}

bool CSimRecorder::Create(SimDeviceOptions options, std::shared_ptr<CSimRecorder>* recorder,
                          std::string* error) {
  SimFaultPlan plan = options.faults;
  const std::string tracePath = options.tracePath;
  std::unique_ptr<CDfuDevice> device;
  if (!CDfuDevice::Create(std::move(options), &device, error)) return false;
  std::FILE* trace = nullptr;
  if (!tracePath.empty()) {
    trace = std::fopen(tracePath.c_str(), "wb");
    if (trace == nullptr) {
      *error = "virtual device trace file '" + tracePath + "' cannot be created";
      return false;
    }
  }
  try {
    *recorder = std::make_shared<CSimRecorder>(Key(), std::move(device), std::move(plan), trace);
  } catch (const std::bad_alloc&) {
    if (trace != nullptr) std::fclose(trace);
    *error = "virtual device does not fit in memory";
    return false;
  }
  return true;
}

std::vector<SimRequestRecord> CSimRecorder::RequestLog() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return log_;
}

uint32_t CSimRecorder::RequestCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requestCount_;
}

SimOutcome CSimRecorder::Exchange(uint32_t attachment, const SimRequest& request, uint8_t* data,
                                  uint32_t* moved, std::vector<SimBusChange>* changes) {
  *moved = 0;
  const UsbSetup& setup = request.setup;
  uint64_t busMicros = 0;
  SimOutcome outcome = SimOutcome::kStall;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    SimRequestRecord record;
    record.number = ++requestCount_;
    record.name = request.name;
    record.args = request.args;
    if (request.reachesDevice && !setup.In() && data != nullptr) {
      record.data.assign(data, data + std::min<size_t>(setup.length, SIM_LOGGED_DATA_BYTES));
    }
    // The device vanishes (or comes back at once) just before the planned
    // request.
    if (plan_.At(SimFaultKind::kUnplug, record.number) != nullptr) device_->Unplug(changes);
    if (plan_.At(SimFaultKind::kReplug, record.number) != nullptr) device_->Replug(changes);
    const CDfuDevice::BusPosition position = device_->Position();
    uint32_t dataBytes = 0;
    if (!position.present || position.attachment != attachment) {
      outcome = SimOutcome::kGone;
    } else if (plan_.At(SimFaultKind::kStall, record.number) != nullptr) {
      if (request.reachesDevice) device_->PlannedStall(setup);
      outcome = SimOutcome::kStall;
    } else if (request.busReset) {
      outcome = device_->BusReset(attachment, changes);
    } else if (request.reachesDevice) {
      outcome = device_->Control(attachment, setup, data, moved, changes,
                                 plan_.At(SimFaultKind::kStatus, record.number), &dataBytes);
    }
    const bool dfuIn = setup.Type() == USB_TYPE_CLASS && setup.In();
    const SimFault* length = nullptr;
    if (outcome == SimOutcome::kOk && setup.In() && data != nullptr) {
      // A status answer announces the planned wait; its other fields stay.
      const SimFault* poll = plan_.At(SimFaultKind::kPoll, record.number);
      if (poll != nullptr && dfuIn && setup.request == DFU_REQUEST_GETSTATUS &&
          *moved >= DFU_STATUS_SIZE) {
        PutLe24(data + 1, poll->value);
      }
      // So does an answer of a planned length, to the request it names.
      if (dfuIn && setup.request == DFU_REQUEST_GETSTATUS) {
        length = plan_.At(SimFaultKind::kStatusLength, record.number);
      } else if (dfuIn && setup.request == DFU_REQUEST_UPLOAD) {
        length = plan_.At(SimFaultKind::kUploadLength, record.number);
      }
      if (length != nullptr) outcome = ResizeAnswer(length->value, setup.length, data, moved);
    }
    if (outcome != SimOutcome::kGone) busMicros = device_->BusMicros(dataBytes);
    // A device busy elsewhere answers late: the host may have given up by then.
    const SimFault* late = plan_.At(SimFaultKind::kLate, record.number);
    if (late != nullptr && outcome != SimOutcome::kGone) busMicros += late->value * 1000ull;
    record.outcome = outcome;
    std::string line = SimJoin({std::to_string(record.number), " ", record.name});
    for (uint32_t arg : record.args) line += SimJoin({" ", std::to_string(arg)});
    line += " -> ";
    switch (outcome) {
      case SimOutcome::kOk: {
        line += "ok";
        if (length != nullptr) line += SimJoin({" length=", std::to_string(*moved)});
        // The answers of GETSTATUS and GETSTATE are what a reader of the
        // trace follows the device by.
        if (dfuIn && setup.request == DFU_REQUEST_GETSTATUS && *moved >= DFU_STATUS_SIZE) {
          record.status = data[0];
          record.poll = GetLe24(data + 1);
          record.state = data[4];
          line += SimJoin({" status=", std::to_string(record.status), " state=",
                           std::to_string(record.state), " poll=", std::to_string(record.poll)});
        } else if (dfuIn && setup.request == DFU_REQUEST_GETSTATE && *moved >= 1) {
          record.state = data[0];
          line += SimJoin({" state=", std::to_string(record.state)});
        }
        break;
      }
      case SimOutcome::kStall:
        line += "stall";
        break;
      case SimOutcome::kGone:
        line += "gone";
        break;
      case SimOutcome::kOverflow:
        line += "overflow";
        break;
    }
    record.line = line;
    if (trace_ != nullptr) {
      std::fputs(line.c_str(), trace_);
      std::fputc('\n', trace_);
      // Flushed line by line, so the trace survives a process that ends badly.
      std::fflush(trace_);
    }
    log_.push_back(std::move(record));
  }
  // The bus time is spent inside the request, without holding the device.
  device_->SpendMicros(busMicros);
  return outcome;
}

SimOutcome CSimRecorder::BusReset(uint32_t attachment, std::vector<SimBusChange>* changes) {
  SimRequest request;
  request.name = "RESET";
  request.busReset = true;
  uint32_t moved = 0;
  return Exchange(attachment, request, nullptr, &moved, changes);
}
