#include "protocol/request_names.h"

const char* UsbStandardRequestName(uint8_t request) {
  static const char* const kNames[] = {
      "GET_STATUS",        "CLEAR_FEATURE",     nullptr,         "SET_FEATURE",
      nullptr,             "SET_ADDRESS",       "GET_DESCRIPTOR", "SET_DESCRIPTOR",
      "GET_CONFIGURATION", "SET_CONFIGURATION", "GET_INTERFACE", "SET_INTERFACE",
      "SYNCH_FRAME"};
  return request < sizeof kNames / sizeof kNames[0] ? kNames[request] : nullptr;
}

const char* DfuRequestName(uint8_t request) {
  static const char* const kNames[] = {"DETACH",    "DNLOAD",   "UPLOAD", "GETSTATUS",
                                       "CLRSTATUS", "GETSTATE", "ABORT"};
  return request < sizeof kNames / sizeof kNames[0] ? kNames[request] : nullptr;
}
