// The process-wide registry of images, shared by the image and file handle
// operations of this layer. Searched from the first entry; registering
// appends, unregistering closes the gap.
#ifndef ZUVA_DFUFILES_IMAGE_REGISTRY_H_
#define ZUVA_DFUFILES_IMAGE_REGISTRY_H_

#include <memory>

#include "dfufiles/image.h"

// Takes ownership of the image and returns its handle.
ImageHandle RegisterImage(std::unique_ptr<CImage> image);
// The registered image behind a handle, or null.
CImage* FindImage(ImageHandle handle);

#endif  // ZUVA_DFUFILES_IMAGE_REGISTRY_H_
