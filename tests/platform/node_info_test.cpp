#include "platform/linux/node_info.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace vumo::platform::hidraw {
namespace {

// uevent of the hid device above a USB interface, as sysfs gives it.
constexpr const char* kUsbHidUevent =
    "DRIVER=hid-generic\n"
    "HID_ID=0003:00001209:00000002\n"
    "HID_NAME=Example Maker Loader\n"
    "HID_PHYS=usb-0000:00:14.0-2/input0\n"
    "HID_UNIQ=\n"
    "MODALIAS=hid:b0003g0001v00001209p00000002\n";

// The same for a device made through /dev/uhid: no USB device above it.
constexpr const char* kUhidUevent =
    "DRIVER=hid-generic\n"
    "HID_ID=0006:0000046D:0000B01A\n"
    "HID_NAME=Virtual Pad\n"
    "HID_PHYS=\n"
    "HID_UNIQ=aa:bb:cc:01\n"
    "MODALIAS=hid:b0006g0001v0000046Dp0000B01A";

TEST(HidId, ParsesBusVendorAndProduct) {
    const auto id = parseHidId("0003:00001209:00000002");
    ASSERT_TRUE(id);
    EXPECT_EQ(id->bus, 0x0003);
    EXPECT_EQ(id->vendorId, 0x1209);
    EXPECT_EQ(id->productId, 0x0002);

    const auto lower = parseHidId("0005:0000046d:0000b01a");
    ASSERT_TRUE(lower);
    EXPECT_EQ(lower->vendorId, 0x046D);
    EXPECT_EQ(lower->productId, 0xB01A);
}

TEST(HidId, RejectsMalformedText) {
    for (const char* bad : {"", "0003", "0003:00001209", "0003:00001209:", ":00001209:00000002",
                            "0003:00001209:00000002:1", "0003:00011209:00000002",
                            "0003:00001209:000000002", "0003:0x1209:0002", "0003:-1209:0002",
                            " 0003:00001209:00000002", "0003:00001209:0000000g"}) {
        EXPECT_FALSE(parseHidId(bad)) << '"' << bad << '"';
    }
}

TEST(Uevent, FindsExactKeys) {
    EXPECT_EQ(ueventValue(kUsbHidUevent, "HID_ID"), "0003:00001209:00000002");
    EXPECT_EQ(ueventValue(kUsbHidUevent, "DRIVER"), "hid-generic");
    EXPECT_EQ(ueventValue(kUhidUevent, "MODALIAS"), "hid:b0006g0001v0000046Dp0000B01A");
    // Present but empty differs from absent.
    EXPECT_EQ(ueventValue(kUsbHidUevent, "HID_UNIQ"), "");
    EXPECT_FALSE(ueventValue(kUsbHidUevent, "HID"));
    EXPECT_FALSE(ueventValue(kUsbHidUevent, "ID"));
    EXPECT_FALSE(ueventValue(kUsbHidUevent, "HID_ID=0003"));
    EXPECT_FALSE(ueventValue("", "HID_ID"));
    EXPECT_EQ(ueventValue("HID_NAME=a=b\n", "HID_NAME"), "a=b");
}

TEST(DescribeNode, UsbDeviceStringsComeFromTheUsbDevice) {
    NodeFacts facts;
    facts.devnode = "/dev/hidraw3";
    facts.hidUevent = kUsbHidUevent;
    facts.hasUsbDevice = true;
    facts.usbManufacturer = "Example Maker";
    facts.usbProduct = "Loader\n";
    facts.usbSerial = "0042";
    facts.usbPort = "1-1.2";
    const auto info = describeNode(facts);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->path, "/dev/hidraw3");
    EXPECT_EQ(info->vendorId, 0x1209);
    EXPECT_EQ(info->productId, 2);
    EXPECT_EQ(info->manufacturer, "Example Maker");
    EXPECT_EQ(info->product, "Loader");
    EXPECT_EQ(info->serial, "0042");
    // The port names the USB device, not the HID interface's physical path.
    EXPECT_EQ(info->port, "1-1.2");

    // A USB device without a serial has none; HID_UNIQ doesn't stand in for it.
    facts.hidUevent = std::string(kUsbHidUevent) + "HID_UNIQ=other\n";
    facts.usbSerial.reset();
    facts.usbManufacturer.reset();
    const auto bare = describeNode(facts);
    ASSERT_TRUE(bare);
    EXPECT_EQ(bare->serial, "");
    EXPECT_EQ(bare->manufacturer, "");
    EXPECT_EQ(bare->product, "Loader");
}

TEST(DescribeNode, WithoutUsbDeviceUsesHidNameAndUniq) {
    NodeFacts facts;
    facts.devnode = "/dev/hidraw0";
    facts.hidUevent = kUhidUevent;
    const auto info = describeNode(facts);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->vendorId, 0x046D);
    EXPECT_EQ(info->productId, 0xB01A);
    EXPECT_EQ(info->product, "Virtual Pad");
    EXPECT_EQ(info->serial, "aa:bb:cc:01");
    EXPECT_EQ(info->manufacturer, "");
}

TEST(DescribeNode, NodesWithoutReadableIdsAreLeftOut) {
    NodeFacts facts;
    facts.devnode = "/dev/hidraw0";
    facts.hidUevent = "DRIVER=hid-generic\nHID_NAME=x\n";
    EXPECT_FALSE(describeNode(facts));
    facts.hidUevent = "HID_ID=garbage\n";
    EXPECT_FALSE(describeNode(facts));
}

TEST(NodeOrder, SortsByHidrawNumberNumerically) {
    EXPECT_EQ(hidrawNumber("/dev/hidraw12"), 12u);
    EXPECT_EQ(hidrawNumber("hidraw0"), 0u);
    EXPECT_FALSE(hidrawNumber("/dev/hidraw"));
    EXPECT_FALSE(hidrawNumber("/dev/hidraw1a"));
    EXPECT_FALSE(hidrawNumber("/dev/hidraw-1"));
    EXPECT_FALSE(hidrawNumber("/dev/usb/hiddev0"));
    EXPECT_FALSE(hidrawNumber("/dev/hidraw99999999999999"));

    std::vector<HidInterfaceInfo> list;
    for (const char* path : {"/dev/hidraw10", "/dev/other", "/dev/hidraw2", "/dev/hidraw1",
                             "/dev/another", "/dev/hidraw9"})
        list.push_back({path, 0, 0, {}, {}, {}, {}});
    sortByNodeNumber(list);
    std::vector<std::string> paths;
    for (const auto& i : list) paths.push_back(i.path);
    EXPECT_EQ(paths, (std::vector<std::string>{"/dev/hidraw1", "/dev/hidraw2", "/dev/hidraw9",
                                               "/dev/hidraw10", "/dev/another", "/dev/other"}));
}

TEST(DeviceString, KeepsValidUtf8AndReplacesBadBytes) {
    EXPECT_EQ(cleanDeviceString("Ger\xC3\xA4t \xE2\x9C\x93 \xF0\x9D\x84\x9E"),
              "Ger\xC3\xA4t \xE2\x9C\x93 \xF0\x9D\x84\x9E");
    const std::string replacement = "\xEF\xBF\xBD";
    EXPECT_EQ(cleanDeviceString("a\xC0\xAF" "b"), "a" + replacement + replacement + "b");  // overlong
    EXPECT_EQ(cleanDeviceString("\xED\xA0\x80"), replacement + replacement + replacement);  // surrogate
    EXPECT_EQ(cleanDeviceString("\xF4\x90\x80\x80").size(), 4 * replacement.size());  // > U+10FFFF
    // A sequence cut short is one maximal subpart, one replacement.
    EXPECT_EQ(cleanDeviceString("abc\xE2\x82"), "abc" + replacement);
    EXPECT_EQ(cleanDeviceString("\xFF"), replacement);
    EXPECT_EQ(cleanDeviceString(std::string_view("abc\0def", 7)), "abc");
    EXPECT_EQ(cleanDeviceString("Loader\n"), "Loader");
}

TEST(OpenErrors, MapToOpenResults) {
    EXPECT_EQ(openStatusFromErrno(ENOENT), OpenStatus::gone);
    EXPECT_EQ(openStatusFromErrno(ENODEV), OpenStatus::gone);
    EXPECT_EQ(openStatusFromErrno(ENXIO), OpenStatus::gone);
    EXPECT_EQ(openStatusFromErrno(EACCES), OpenStatus::permissionDenied);
    EXPECT_EQ(openStatusFromErrno(EPERM), OpenStatus::permissionDenied);
    EXPECT_EQ(openStatusFromErrno(EWOULDBLOCK), OpenStatus::busy);
    EXPECT_EQ(openStatusFromErrno(EINVAL), OpenStatus::failed);
    EXPECT_EQ(openStatusFromErrno(ENOTTY), OpenStatus::failed);
}

}  // namespace
}  // namespace vumo::platform::hidraw
