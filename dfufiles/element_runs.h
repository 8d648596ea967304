#ifndef ZUVA_DFUFILES_ELEMENT_RUNS_H_
#define ZUVA_DFUFILES_ELEMENT_RUNS_H_

#include <cstddef>
#include <cstdint>
#include <vector>

// Where an image's elements start and how long they are, without their bytes.
struct ElementExtent {
  uint32_t address;
  uint32_t size;
};

// Positions [first, last] of extents that follow one another without a gap,
// and their total size.
struct ElementRun {
  size_t first;
  size_t last;
  uint32_t size;
};

// Splits extents sorted by address into runs of touching extents. A run ends
// at a gap, at an overlap, or where one more extent would make its size
// overflow the 32-bit size of an element; every extent is in exactly one run.
std::vector<ElementRun> TouchingRuns(const std::vector<ElementExtent>& sorted);

#endif  // ZUVA_DFUFILES_ELEMENT_RUNS_H_
