// Text from devices as the console shows it.
#ifndef ZUVA_PLATFORM_TEXT_H_
#define ZUVA_PLATFORM_TEXT_H_

#include <cstddef>
#include <cstdint>
#include <string>

// UTF-16LE code units to the console's narrow encoding (Windows: the thread's
// ANSI code page; Linux: UTF-8); unmappable characters become '?'.
std::string Utf16ToConsoleText(const uint16_t* units, size_t count);

#endif  // ZUVA_PLATFORM_TEXT_H_
