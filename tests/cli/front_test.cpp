// The command line's pieces in-process: the device list as the terminal and JSON get it,
// opening the device that was listed even when the list has moved since, and a failure with
// its cause under the fixed message.

#include "cli/device_list.h"
#include "cli/output.h"
#include "frontend/open_listed.h"
#include "hid/app_device.h"
#include "hid/dfu_device.h"
#include "messages/causes.h"
#include "sim/sim_hid_bus.h"
#include "vumo/build_config.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace vumo::cli {
namespace {

class Silent final : public platform::OutputSink {
public:
    void onOutputReport(std::span<const std::uint8_t>) override {}
};

class FrontTest : public testing::Test {
protected:
    std::string Attach(std::string serial, std::string product = "Vumo Device") {
        return bus.attach(
            {kVendorId, kAppProductId, std::move(product), std::move(serial), "Vumo", {17, 21}, {}},
            device);
    }

    sim::SimHidBus bus;
    std::shared_ptr<Silent> device = std::make_shared<Silent>();
};

TEST_F(FrontTest, DeviceStringsReachTheTerminalWithoutTheirControlCharacters) {
    // A serial that would clear the screen, jump back to the line start and ring the bell.
    Attach("A\x1b[2J\rB\a",
           "Evil\xC2\x9B"
           "31m");
    hid::AppDevice app(bus);
    hid::DfuDevice dfu(bus);
    const DeviceListing listing = ListDevices(app, dfu);
    ASSERT_EQ(listing.devices.size(), 1u);

    const std::string text = ListText(listing);
    EXPECT_NE(text.find("Evil\\u009b31m: A\\x1b[2J\\rB\\x07"), std::string::npos) << text;
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        EXPECT_TRUE(b >= 0x20 || b == '\n') << "control byte " << int(b) << " in " << text;
        EXPECT_NE(b, 0x7F);
    }
    EXPECT_EQ(text.find("\xC2\x9B"), std::string::npos);

    // JSON escapes instead, so a script gets the serial back as the device sent it.
    const std::string json = ListJson(listing);
    EXPECT_NE(json.find("\"serial\": \"A\\u001b[2J\\rB\\u0007\""), std::string::npos) << json;
}

TEST_F(FrontTest, OpensTheListedDeviceAfterTheListHasMoved) {
    const std::string first = Attach("VUMO-A");
    Attach("VUMO-B");
    hid::AppDevice app(bus);
    ASSERT_EQ(app.EnumerateDevices(), 2);
    const hid::DeviceListEntry chosen = app.list()[1];
    ASSERT_EQ(chosen.serial, "VUMO-B");

    // Another enumeration moves B to place 0 and puts C at place 1, where B was.
    bus.detach(first);
    Attach("VUMO-C");
    ASSERT_EQ(app.EnumerateDevices(), 2);
    ASSERT_EQ(app.list()[1].serial, "VUMO-C");

    messages::Cause cause;
    ASSERT_EQ(frontend::OpenListed(app, chosen, cause), hid::kOpenOk) << cause.text;
    EXPECT_EQ(app.openSerial(), "VUMO-B");
    EXPECT_EQ(app.openPath(), chosen.path);
    app.Close();

    // Gone from the list altogether: nothing is opened, and the cause names the path.
    bus.detach(chosen.path);
    app.EnumerateDevices();
    EXPECT_EQ(frontend::OpenListed(app, chosen, cause), hid::kOpenFailed);
    EXPECT_FALSE(app.isOpen());
    EXPECT_EQ(cause.text, chosen.path + " is no longer present");
}

TEST_F(FrontTest, AFailedOpenSaysWhyBesideTheFixedMessage) {
    const std::string path = Attach("VUMO-A");
    hid::AppDevice app(bus);
    ASSERT_EQ(app.EnumerateDevices(), 1);
    const hid::DeviceListEntry chosen = app.list()[0];
    bus.setPermissionDenied(path, true);

    messages::Cause cause;
    const std::uint8_t result = frontend::OpenListed(app, chosen, cause);
    ASSERT_EQ(result, hid::kOpenFailed);
    EXPECT_EQ(FailureText("vumo-dfu: ", "Open Error (code : 17)", cause),
              "vumo-dfu: Open Error (code : 17)\n"
              "  cause: permission denied on " +
                  path +
                  "\n"
                  "  hint: install the udev rule, run 'udevadm control --reload' and replug the "
                  "device\n");
    // The window shows the same as its box's detail text.
    EXPECT_EQ(messages::DetailText(cause),
              "Permission denied on " + path +
                  ".\n"
                  "Install the udev rule, run 'udevadm control --reload' and replug the device.");
}

TEST(FailureText, KeepsTheMessageAndShowsNoEmptyCause) {
    EXPECT_EQ(FailureText("ERROR: ", "Net Connect", {}), "ERROR: Net Connect\n");
    // The specified line break of a message survives; a stray carriage return does not.
    EXPECT_EQ(FailureText("", "a\r\nb\rc", {}), "a\r\nb\\rc\n");
}

TEST(ShellQuoted, QuotesWhatAShellWouldSplitOrExpand) {
    EXPECT_EQ(ShellQuoted({"/usr/libexec/vumo-dfu/checksum", "-d", "-v", "-p", "LPC1857",
                           "/home/u/my fw's.bin"}),
              "/usr/libexec/vumo-dfu/checksum -d -v -p LPC1857 '/home/u/my fw'\\''s.bin'");
    EXPECT_EQ(ShellQuoted({"a", ""}), "a ''");
}

}  // namespace
}  // namespace vumo::cli
