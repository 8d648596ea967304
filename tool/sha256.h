// SHA-256 of a firmware image, as a production record names it and as
// --expect-sha256 checks it.
#ifndef ZUVA_TOOL_SHA256_H_
#define ZUVA_TOOL_SHA256_H_

#include <cstddef>
#include <cstdint>
#include <string>

// The digest of `size` bytes as 64 lower-case hexadecimal digits.
std::string Sha256Hex(const uint8_t* data, size_t size);

#endif  // ZUVA_TOOL_SHA256_H_
