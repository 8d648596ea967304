// The fuzzers reach devices only through the scripted backend: the platform
// contributes no backend of its own, whatever it has.
#include "platform/system_backends.h"

std::vector<std::shared_ptr<DriverBackend>> SystemDriverBackends() { return {}; }
