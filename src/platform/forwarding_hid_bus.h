#pragma once
// A bus that hands every call on to another one. Seams and decorators derive from it and
// override only the calls they change.

#include "platform/hid_bus.h"

namespace vumo::platform {

class ForwardingHidBus : public HidBus {
public:
    explicit ForwardingHidBus(HidBus& inner) : inner_(inner) {}
    std::vector<HidInterfaceInfo> enumerate() override { return inner_.enumerate(); }
    ProbeResult probe(const std::string& path) override { return inner_.probe(path); }
    Opened<HidWriter> openWriter(const std::string& path) override {
        return inner_.openWriter(path);
    }
    Opened<HidReader> openReader(const std::string& path) override {
        return inner_.openReader(path);
    }
    std::unique_ptr<HotplugMonitor> monitor() override { return inner_.monitor(); }

protected:
    HidBus& inner() { return inner_; }

private:
    HidBus& inner_;
};

}  // namespace vumo::platform
