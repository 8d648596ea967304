#include "platform/standard_streams.h"

// The C runtime keeps descriptors 0 to 2 for the standard streams whether or
// not the process was given handles for them, so a file the program opens
// never takes their numbers.
void PlatformEnsureStandardStreams() {}
