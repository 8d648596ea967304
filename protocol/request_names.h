// The names requests go by in traces and logs: standard requests by their
// USB names, class requests by their DFU names.
#ifndef ZUVA_PROTOCOL_REQUEST_NAMES_H_
#define ZUVA_PROTOCOL_REQUEST_NAMES_H_

#include <cstdint>

// "GET_DESCRIPTOR", ...; null for a number USB does not define.
const char* UsbStandardRequestName(uint8_t request);
// "DETACH" to "ABORT"; null for a number DFU does not define.
const char* DfuRequestName(uint8_t request);

#endif  // ZUVA_PROTOCOL_REQUEST_NAMES_H_
