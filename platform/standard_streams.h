// The standard streams at start-up.
#ifndef ZUVA_PLATFORM_STANDARD_STREAMS_H_
#define ZUVA_PLATFORM_STANDARD_STREAMS_H_

// Makes sure descriptors 0, 1 and 2 are open, on the null device where the
// program was started without them. Otherwise the first file the program
// opens (a trace, the DfuSe file) would take the free number and receive the
// console's text. Called once by the program before it opens anything.
void PlatformEnsureStandardStreams();

#endif  // ZUVA_PLATFORM_STANDARD_STREAMS_H_
