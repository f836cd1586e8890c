#include "sim/sim_bus_port.h"

namespace vumo::sim {
namespace {

// The bus calls a VirtualHidDevice; the emulator listens through an OutputSink. The bus already
// calls without its lock held, so the relay only forwards.
class Relay final : public platform::VirtualHidDevice {
public:
    explicit Relay(std::shared_ptr<OutputSink> sink) : sink_(std::move(sink)) {}
    void onOutputReport(std::span<const std::uint8_t> report) override {
        sink_->onOutputReport(report);
    }

private:
    std::shared_ptr<OutputSink> sink_;
};

}  // namespace

std::string SimBusPort::attach(const DeviceDescription& description,
                               std::shared_ptr<OutputSink> sink) {
    platform::VirtualDeviceDescription d;
    d.vendorId = description.vendorId;
    d.productId = description.productId;
    d.product = description.product;
    d.serial = description.serial;
    d.manufacturer = description.manufacturer;
    d.port = description.port;
    d.lengths = {description.inputLength, description.outputLength};
    return bus_.attach(d, std::make_shared<Relay>(std::move(sink)));
}

void SimBusPort::detach(const std::string& path) { bus_.detach(path); }

bool SimBusPort::sendInputReport(const std::string& path, std::span<const std::uint8_t> report) {
    return bus_.sendInputReport(path, report);
}

}  // namespace vumo::sim
