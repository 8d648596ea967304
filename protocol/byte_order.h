// Little-endian fields of the wire: USB descriptors and requests, the driver's
// request header, the DfuSe file format. Every multi-byte number ZUVA reads
// from or writes to a device or a file goes through these.
#ifndef ZUVA_PROTOCOL_BYTE_ORDER_H_
#define ZUVA_PROTOCOL_BYTE_ORDER_H_

#include <cstdint>

inline uint16_t GetLe16(const uint8_t* in) {
  return static_cast<uint16_t>(in[0] | (in[1] << 8));
}

// bwPollTimeout of a DFU status is a 24-bit field.
inline uint32_t GetLe24(const uint8_t* in) {
  return static_cast<uint32_t>(in[0]) | (static_cast<uint32_t>(in[1]) << 8) |
         (static_cast<uint32_t>(in[2]) << 16);
}

inline uint32_t GetLe32(const uint8_t* in) {
  return GetLe24(in) | (static_cast<uint32_t>(in[3]) << 24);
}

inline void PutLe16(uint8_t* out, uint16_t value) {
  out[0] = static_cast<uint8_t>(value);
  out[1] = static_cast<uint8_t>(value >> 8);
}

inline void PutLe24(uint8_t* out, uint32_t value) {
  for (int i = 0; i < 3; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

inline void PutLe32(uint8_t* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

#endif  // ZUVA_PROTOCOL_BYTE_ORDER_H_
