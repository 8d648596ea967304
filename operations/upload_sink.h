// Where an upload's blocks go when they are not to be kept: a caller that
// only looks at what the device returns (a verify comparing the read-back
// with the data it wrote) needs no buffer the size of the image, and the
// image it reads by may then be shared, unchanged, by several operations.
#ifndef ZUVA_OPERATIONS_UPLOAD_SINK_H_
#define ZUVA_OPERATIONS_UPLOAD_SINK_H_

#include <cstdint>

#include "dfufiles/image.h"

class CUploadSink {
 public:
  virtual ~CUploadSink() = default;
  // One block as the device returned it: `length` bytes that belong at
  // `offset` of `element`, the image's element being read. Called on the
  // operation's worker thread, block after block; a block that is read again
  // (its request was repeated) is handed over again and replaces the one
  // before.
  virtual void Received(const ImageElement& element, uint32_t offset, const uint8_t* bytes,
                        uint32_t length) = 0;
};

#endif  // ZUVA_OPERATIONS_UPLOAD_SINK_H_
