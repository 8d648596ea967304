// The virtual device as the DFU driver shows it: each of the driver's five
// I/O-control requests becomes the USB control transfer a driver would send
// (with the translation the libusb backend uses) and reaches the device
// through its recorder, named as the driver names it. The "sim:" port and the
// Wine pipe server are both this front.
#ifndef ZUVA_SIM_DRIVER_FRONT_H_
#define ZUVA_SIM_DRIVER_FRONT_H_

#include <cstdint>
#include <vector>

#include "sim/sim_recorder.h"

// The request as the trace names it: GET_DEVICE_DESCRIPTOR;
// GET_CONFIGURATION_DESCRIPTOR index; GET_STRING_DESCRIPTOR index langid;
// SELECT_ALTERNATE_SETTING config interface alternate; a control request by
// its DFU name with wValue wIndex wLength.
SimRequest SimNameDriverRequest(uint32_t code, const uint8_t* input, uint32_t inputSize);

// A control transfer named as the driver request it is (the WinUSB node
// sends the driver's requests as plain transfers), args taken from the
// transfer as that request's would be; the transfer reaches the device as it
// is. False for a transfer that no driver request becomes: the driver front
// never passes it on, so it is not one of the requests the device counts.
bool SimNameDriverTransfer(const UsbSetup& setup, SimRequest* request);

// One driver request through a handle opened on `attachment`. True when it
// completed, with the count of output bytes in *bytesReturned; bus changes
// it caused are appended to *changes; with `outcome`, how the device
// answered (kStall also for a request the driver refused).
bool SimAnswerDriverRequest(CSimRecorder* recorder, uint32_t attachment, uint32_t code,
                            const void* input, uint32_t inputSize, void* output,
                            uint32_t outputSize, uint32_t* bytesReturned,
                            std::vector<SimBusChange>* changes, SimOutcome* outcome = nullptr);

#endif  // ZUVA_SIM_DRIVER_FRONT_H_
