// The program's own image and the default raw image on Linux. The image bytes
// are linked into the ZUVA executable only (resources/default_image_linked.cpp);
// the references are weak so that every other program built on this layer,
// the test programs among them, links without them and simply has no default
// image, as a Windows program without the resource would.
#include "platform/resources.h"

extern "C" {
extern const uint8_t zuva_default_image_begin[] __attribute__((weak));
extern const uint8_t zuva_default_image_end[] __attribute__((weak));
}

bool PlatformHasOwnModule() { return true; }

bool PlatformLoadDefaultImage(const uint8_t** data, size_t* size) {
  *data = nullptr;
  *size = 0;
  const uint8_t* begin = zuva_default_image_begin;
  const uint8_t* end = zuva_default_image_end;
  if (begin == nullptr || end == nullptr || end <= begin) {
    return false;
  }
  *data = begin;
  *size = static_cast<size_t>(end - begin);
  return true;
}
