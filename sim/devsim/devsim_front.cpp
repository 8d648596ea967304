#include "sim/devsim/devsim_front.h"

#include <algorithm>
#include <cstring>

#include "platform/text.h"
#include "protocol/byte_order.h"
#include "protocol/driver_requests.h"
#include "protocol/request_names.h"

namespace {

// A driver request the model does not know: it numbers it, applies the
// plan's unplug and stall to it and otherwise leaves the device as it was.
// Standard requests without a driver request of their own travel as it.
constexpr uint32_t DEVSIM_IOCTL_BUS_ONLY = DfuIoctlCode(0x8FF);

std::string Utf8Of(const std::vector<uint8_t>& stringDescriptor) {
  std::vector<uint16_t> units;
  for (size_t i = 2; i + 1 < stringDescriptor.size(); i += 2) {
    units.push_back(GetLe16(stringDescriptor.data() + i));
  }
  return Utf16ToConsoleText(units.data(), units.size());
}

// The first descriptor of `type` inside a configuration set.
std::vector<uint8_t> FindDescriptor(const std::vector<uint8_t>& set, uint8_t type) {
  for (size_t at = 0; at + 2 <= set.size() && set[at] >= 2; at += set[at]) {
    if (set[at + 1] == type && at + set[at] <= set.size()) {
      return std::vector<uint8_t>(set.begin() + static_cast<long>(at),
                                  set.begin() + static_cast<long>(at + set[at]));
    }
  }
  return {};
}

}  // namespace

std::string DevsimTraceLine(uint32_t number, const DevsimSetup& setup, DevsimOutcome outcome,
                            const uint8_t* answer, uint32_t answered) {
  const uint8_t type = setup.requestType & USB_TYPE_MASK;
  const char* name = nullptr;
  if (type == USB_TYPE_STANDARD) name = UsbStandardRequestName(setup.request);
  if (type == USB_TYPE_CLASS) name = DfuRequestName(setup.request);
  std::string line = std::to_string(number) + " ";
  if (name != nullptr) {
    line += name;
  } else {
    line += (type == USB_TYPE_CLASS ? "REQUEST_" : "TYPE_" + std::to_string(setup.requestType) +
                                                          "_REQUEST_") +
            std::to_string(setup.request);
  }
  line += " " + std::to_string(setup.value) + " " + std::to_string(setup.index) + " " +
          std::to_string(setup.length) + " -> ";
  switch (outcome) {
    case DevsimOutcome::kOk:
      line += "ok";
      if (type == USB_TYPE_CLASS && setup.request == DFU_REQUEST_GETSTATUS && answered >= 6) {
        const uint32_t poll = GetLe24(answer + 1);
        line += " status=" + std::to_string(answer[0]) + " state=" + std::to_string(answer[4]) +
                " poll=" + std::to_string(poll);
      } else if (type == USB_TYPE_CLASS && setup.request == DFU_REQUEST_GETSTATE &&
                 answered >= 1) {
        line += " state=" + std::to_string(answer[0]);
      }
      break;
    case DevsimOutcome::kStall:
      line += "stall";
      break;
    case DevsimOutcome::kGone:
      line += "gone";
      break;
  }
  return line;
}

CDevsimFront::CDevsimFront(std::shared_ptr<CDfuDevice> device, SimFaultPlan plan,
                           std::FILE* trace)
    : device_(std::move(device)), plan_(std::move(plan)), trace_(trace) {
  std::string ignored;
  Describe(device_->Profile(), true, &dfuAppearance_, &ignored, device_->Index());
  Describe(device_->Profile(), false, &appAppearance_, &ignored, device_->Index());
}

CDevsimFront::~CDevsimFront() {
  if (trace_ != nullptr) std::fclose(trace_);
}

bool CDevsimFront::Describe(const SimProfile& profile, bool dfuMode, DevsimAppearance* appearance,
                            std::string* error, uint32_t index) {
  SimDeviceOptions options;
  options.index = index;
  options.profile = profile;
  options.profile.mode = dfuMode ? SimMode::kDfu : SimMode::kApplication;
  options.profile.timing = SimTiming::kFast;
  std::unique_ptr<CDfuDevice> scratch;
  if (!CDfuDevice::Create(std::move(options), &scratch, error)) return false;
  std::vector<SimBusChange> ignored;
  auto ask = [&](uint32_t code, std::vector<uint8_t> input, uint32_t size,
                 std::vector<uint8_t>* answer) {
    answer->assign(size, 0);
    uint32_t returned = 0;
    bool ok = scratch->IoControl(0, code, input.data(), static_cast<uint32_t>(input.size()),
                                 answer->data(), size, &returned, &ignored);
    answer->resize(ok ? returned : 0);
    return ok;
  };
  if (!ask(IOCTL_DFU_GET_DEVICE_DESCRIPTOR, {}, DRIVER_DEVICE_DESCRIPTOR_SIZE,
           &appearance->deviceDescriptor) ||
      !ask(IOCTL_DFU_GET_CONFIGURATION_DESCRIPTOR, {0}, DRIVER_DESCRIPTOR_BLOCK_SIZE,
           &appearance->configuration) ||
      appearance->deviceDescriptor.size() != DRIVER_DEVICE_DESCRIPTOR_SIZE) {
    *error = "the virtual device does not describe itself";
    return false;
  }
  auto text = [&](uint8_t index) {
    std::vector<uint8_t> answer;
    if (index == 0 || !ask(IOCTL_DFU_GET_STRING_DESCRIPTOR, {index, 0x09, 0x04}, 255, &answer)) {
      return std::string();
    }
    return Utf8Of(answer);
  };
  appearance->manufacturer = text(appearance->deviceDescriptor[14]);
  appearance->serial = text(appearance->deviceDescriptor[16]);
  // The kernel's view of the product follows the profile: a device without a
  // description has none to show.
  appearance->hasProduct = profile.hasDescription;
  appearance->product = profile.description;
  return true;
}

DevsimOutcome CDevsimFront::Control(uint32_t attachment, const DevsimSetup& setup, uint8_t* data,
                                    uint32_t* moved, std::vector<SimBusChange>* changes) {
  std::lock_guard<std::mutex> lock(mutex_);
  *moved = 0;
  const bool in = (setup.requestType & USB_DIR_IN) != 0;
  const uint8_t type = setup.requestType & USB_TYPE_MASK;
  const uint8_t recipient = setup.requestType & USB_RECIPIENT_MASK;

  uint32_t code = DEVSIM_IOCTL_BUS_ONLY;
  std::vector<uint8_t> input;
  if (type == USB_TYPE_STANDARD && setup.request == USB_REQUEST_GET_DESCRIPTOR && in &&
      recipient == USB_RECIPIENT_DEVICE) {
    const uint8_t index = static_cast<uint8_t>(setup.value);
    switch (setup.value >> 8) {
      case USB_DT_DEVICE:
        code = IOCTL_DFU_GET_DEVICE_DESCRIPTOR;
        break;
      case USB_DT_CONFIGURATION:
        code = IOCTL_DFU_GET_CONFIGURATION_DESCRIPTOR;
        input = {index};
        break;
      case USB_DT_STRING:
        code = IOCTL_DFU_GET_STRING_DESCRIPTOR;
        input = {index, static_cast<uint8_t>(setup.index), static_cast<uint8_t>(setup.index >> 8)};
        break;
      default:
        break;
    }
  } else if (type == USB_TYPE_STANDARD && setup.request == USB_REQUEST_SET_INTERFACE && !in &&
             recipient == USB_RECIPIENT_INTERFACE) {
    code = IOCTL_DFU_SELECT_ALTERNATE_SETTING;
    input = {0, static_cast<uint8_t>(setup.index), static_cast<uint8_t>(setup.value)};
  } else if (type == USB_TYPE_CLASS && recipient == USB_RECIPIENT_INTERFACE) {
    ControlRequestHeader header;
    header.direction = in ? CONTROL_DIRECTION_DEVICE_TO_HOST : CONTROL_DIRECTION_HOST_TO_DEVICE;
    header.request = setup.request;
    header.value = setup.value;
    header.index = setup.index;
    header.length = setup.length;
    code = IOCTL_DFU_CONTROL_REQUEST;
    input.assign(CONTROL_REQUEST_HEADER_SIZE + setup.length, 0);
    EncodeControlRequestHeader(header, input.data());
    if (!in && setup.length > 0) {
      std::memcpy(input.data() + CONTROL_REQUEST_HEADER_SIZE, data, setup.length);
    }
  }
  const bool local = code == DEVSIM_IOCTL_BUS_ONLY;
  const bool answersIn = in && !local && code != IOCTL_DFU_SELECT_ALTERNATE_SETTING;

  const CDfuDevice::BusPosition before = device_->Position();
  uint32_t returned = 0;
  std::vector<SimBusChange> caused;
  const bool completed = device_->IoControl(
      attachment, code, input.empty() ? nullptr : input.data(),
      static_cast<uint32_t>(input.size()), answersIn ? data : nullptr,
      answersIn ? setup.length : 0, &returned, &caused);
  const uint32_t number = device_->RequestCount();

  DevsimOutcome outcome;
  if (!before.present || before.attachment != attachment ||
      plan_.At(SimFaultKind::kUnplug, number) != nullptr) {
    outcome = DevsimOutcome::kGone;
  } else if (local) {
    outcome = plan_.At(SimFaultKind::kStall, number) == nullptr && AnswerLocally(setup, data, moved)
                  ? DevsimOutcome::kOk
                  : DevsimOutcome::kStall;
  } else {
    outcome = completed ? DevsimOutcome::kOk : DevsimOutcome::kStall;
    if (completed && answersIn) *moved = std::min<uint32_t>(returned, setup.length);
    if (completed && code == IOCTL_DFU_SELECT_ALTERNATE_SETTING) {
      alternate_ = static_cast<uint8_t>(setup.value);
    }
  }
  if (outcome != DevsimOutcome::kOk) *moved = 0;
  if (trace_ != nullptr) {
    std::string line = DevsimTraceLine(number, setup, outcome, data, *moved);
    std::fputs(line.c_str(), trace_);
    std::fputc('\n', trace_);
    // Line by line, so the trace survives a run that ends badly.
    std::fflush(trace_);
  }
  changes->insert(changes->end(), caused.begin(), caused.end());
  return outcome;
}

bool CDevsimFront::AnswerLocally(const DevsimSetup& setup, uint8_t* data, uint32_t* moved) {
  const bool in = (setup.requestType & USB_DIR_IN) != 0;
  if ((setup.requestType & USB_TYPE_MASK) != USB_TYPE_STANDARD) return false;
  auto answer = [&](const std::vector<uint8_t>& bytes) {
    if (!in) return false;
    *moved = std::min<uint32_t>(static_cast<uint32_t>(bytes.size()), setup.length);
    if (*moved > 0) std::memcpy(data, bytes.data(), *moved);
    return true;
  };
  switch (setup.request) {
    case USB_REQUEST_GET_STATUS:
      // Bus powered, no remote wake-up, no halted endpoint.
      return answer({0, 0});
    case USB_REQUEST_CLEAR_FEATURE:
    case USB_REQUEST_SET_FEATURE:
      return !in;
    case USB_REQUEST_GET_CONFIGURATION:
      return answer({configuration_});
    case USB_REQUEST_SET_CONFIGURATION:
      // The device has one configuration, value 1; 0 unconfigures it.
      if (in || setup.value > 1) return false;
      configuration_ = static_cast<uint8_t>(setup.value);
      return true;
    case USB_REQUEST_GET_INTERFACE:
      return answer({alternate_});
    case USB_REQUEST_GET_DESCRIPTOR:
      // The DFU functional descriptor can be asked for on its own; it is the
      // one inside the configuration set.
      if ((setup.value >> 8) == DFU_DESCRIPTOR_TYPE_FUNCTIONAL) {
        const DevsimAppearance& shown = device_->InDfuMode() ? dfuAppearance_ : appAppearance_;
        std::vector<uint8_t> functional =
            FindDescriptor(shown.configuration, DFU_DESCRIPTOR_TYPE_FUNCTIONAL);
        return !functional.empty() && answer(functional);
      }
      return false;  // device qualifier, BOS, ...: a full-speed device has none
    default:
      return false;
  }
}
