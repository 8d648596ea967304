// What the executable carries in itself: its own module and the default
// image built into it.
#ifndef ZUVA_PLATFORM_RESOURCES_H_
#define ZUVA_PLATFORM_RESOURCES_H_

#include <cstddef>
#include <cstdint>

// Whether the program's own module can be named (Windows: GetModuleHandleA of
// no module name). Always true on Linux.
bool PlatformHasOwnModule();

// The raw image built into the executable (Windows: RCDATA 101 of the module;
// Linux: the same bytes linked in). False, with *data null and *size 0, when
// there is none.
bool PlatformLoadDefaultImage(const uint8_t** data, size_t* size);

#endif  // ZUVA_PLATFORM_RESOURCES_H_
