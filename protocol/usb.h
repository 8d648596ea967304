// The numbers of USB's control-transfer protocol that ZUVA and the virtual
// device speak: the setup packet, the standard requests, the descriptor types
// and the interface class of DFU.
#ifndef ZUVA_PROTOCOL_USB_H_
#define ZUVA_PROTOCOL_USB_H_

#include <cstdint>

// bmRequestType: direction, type and recipient.
constexpr uint8_t USB_DIR_IN = 0x80;
constexpr uint8_t USB_TYPE_MASK = 0x60;
constexpr uint8_t USB_TYPE_STANDARD = 0x00;
constexpr uint8_t USB_TYPE_CLASS = 0x20;
constexpr uint8_t USB_TYPE_VENDOR = 0x40;
constexpr uint8_t USB_RECIPIENT_MASK = 0x1F;
constexpr uint8_t USB_RECIPIENT_DEVICE = 0x00;
constexpr uint8_t USB_RECIPIENT_INTERFACE = 0x01;
// The request types ZUVA sends: standard to the device (in), standard to an
// interface (out), class to an interface (out and in).
constexpr uint8_t USB_REQUEST_TYPE_STANDARD_IN = USB_DIR_IN | USB_TYPE_STANDARD;
constexpr uint8_t USB_REQUEST_TYPE_STANDARD_INTERFACE_OUT =
    USB_TYPE_STANDARD | USB_RECIPIENT_INTERFACE;
constexpr uint8_t USB_REQUEST_TYPE_CLASS_INTERFACE_OUT = USB_TYPE_CLASS | USB_RECIPIENT_INTERFACE;
constexpr uint8_t USB_REQUEST_TYPE_CLASS_INTERFACE_IN =
    USB_DIR_IN | USB_TYPE_CLASS | USB_RECIPIENT_INTERFACE;

// Standard requests (bRequest).
constexpr uint8_t USB_REQUEST_GET_STATUS = 0;
constexpr uint8_t USB_REQUEST_CLEAR_FEATURE = 1;
constexpr uint8_t USB_REQUEST_SET_FEATURE = 3;
constexpr uint8_t USB_REQUEST_SET_ADDRESS = 5;
constexpr uint8_t USB_REQUEST_GET_DESCRIPTOR = 6;
constexpr uint8_t USB_REQUEST_SET_DESCRIPTOR = 7;
constexpr uint8_t USB_REQUEST_GET_CONFIGURATION = 8;
constexpr uint8_t USB_REQUEST_SET_CONFIGURATION = 9;
constexpr uint8_t USB_REQUEST_GET_INTERFACE = 10;
constexpr uint8_t USB_REQUEST_SET_INTERFACE = 11;
constexpr uint8_t USB_REQUEST_SYNCH_FRAME = 12;

// Descriptor types.
constexpr uint8_t USB_DT_DEVICE = 0x01;
constexpr uint8_t USB_DT_CONFIGURATION = 0x02;
constexpr uint8_t USB_DT_STRING = 0x03;
constexpr uint8_t USB_DT_INTERFACE = 0x04;
constexpr uint8_t USB_DT_ENDPOINT = 0x05;

constexpr uint32_t USB_DEVICE_DESCRIPTOR_SIZE = 18;
constexpr uint32_t USB_CONFIGURATION_DESCRIPTOR_SIZE = 9;
constexpr uint32_t USB_INTERFACE_DESCRIPTOR_SIZE = 9;
// A string descriptor's length is one byte.
constexpr uint32_t USB_MAX_STRING_DESCRIPTOR_SIZE = 255;
constexpr uint16_t USB_LANGID_EN_US = 0x0409;

// Interface class and subclass of DFU; protocol 1 is the run-time interface
// of an application, protocol 2 the interface of a device in DFU mode.
constexpr uint8_t USB_CLASS_APPLICATION_SPECIFIC = 0xFE;
constexpr uint8_t USB_SUBCLASS_DFU = 0x01;
constexpr uint8_t USB_PROTOCOL_DFU_RUNTIME = 0x01;
constexpr uint8_t USB_PROTOCOL_DFU_MODE = 0x02;
constexpr uint8_t USB_CLASS_VENDOR_SPECIFIC = 0xFF;

// The setup packet of a control transfer. wLength bounds the data stage.
struct UsbSetup {
  uint8_t requestType = 0;
  uint8_t request = 0;
  uint16_t value = 0;
  uint16_t index = 0;
  uint16_t length = 0;

  bool In() const { return (requestType & USB_DIR_IN) != 0; }
  uint8_t Type() const { return requestType & USB_TYPE_MASK; }
  uint8_t Recipient() const { return requestType & USB_RECIPIENT_MASK; }
};

#endif  // ZUVA_PROTOCOL_USB_H_
