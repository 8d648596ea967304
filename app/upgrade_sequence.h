// The upgrade of the device from a DfuSe file: discovery, erase, download,
// verify and leaving DFU mode.
#ifndef ZUVA_APP_UPGRADE_SEQUENCE_H_
#define ZUVA_APP_UPGRADE_SEQUENCE_H_

void RunUpgradeSequence(const char* dfuPath);

#endif  // ZUVA_APP_UPGRADE_SEQUENCE_H_
