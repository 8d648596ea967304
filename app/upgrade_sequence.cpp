#include "app/upgrade_sequence.h"

// The device layers are not in the program yet: the run stops where the
// upgrade begins, with the DfuSe file written.
void RunUpgradeSequence(const char* /*dfuPath*/) {}
