#include "platform/libusb/usb_backend.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include <unistd.h>

namespace {

TEST(UsbAttributeText, ReadsTheTextWithoutItsNewlineAndReportsAReadThatFails) {
  const std::string folder = ::testing::TempDir();
  const std::string product = folder + "usb_attribute_product_" + std::to_string(getpid());
  std::ofstream(product, std::ios::binary) << "DFU in FS Mode\n";
  std::string text = "unchanged";
  EXPECT_TRUE(UsbReadAttributeText(product, &text));
  EXPECT_EQ(text, "DFU in FS Mode");
  std::remove(product.c_str());

  // No such attribute: the device has no product string.
  text = "unchanged";
  EXPECT_FALSE(UsbReadAttributeText(product, &text));
  EXPECT_EQ(text, "unchanged");
  // A file that opens but whose read fails, as the attribute of a device
  // removed between the two: a directory does that. Said, never thrown.
  EXPECT_FALSE(UsbReadAttributeText(folder, &text));
  EXPECT_EQ(text, "unchanged");
}

}  // namespace
