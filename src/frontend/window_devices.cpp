#include "frontend/window_devices.h"

#include "frontend/open_listed.h"
#include "protocol/reports.h"
#include "text/utf8.h"

#include <algorithm>

namespace vumo::frontend {

namespace {

int CountDenied(const hid::HidDevice& object) {
    const auto skipped = object.skipped();
    return static_cast<int>(std::count_if(skipped.begin(), skipped.end(), [](const auto& s) {
        return s.why == platform::OpenStatus::permissionDenied;
    }));
}

}  // namespace

WindowDevices::~WindowDevices() {
    Stop();
    Close();
}

std::string WindowDevices::Start(update::UpdateEvents& events, std::unique_ptr<update::Pacer> pacer,
                                 const update::Limits& limits, const update::Pauses& pauses,
                                 const update::Checks& checks) {
    dfu_ = std::make_unique<hid::DfuDevice>(bus_);
    app_ = std::make_unique<hid::AppDevice>(bus_);
    procedure_ = std::make_unique<update::UpdateProcedure>(*app_, *dfu_, events, std::move(pacer),
                                                           limits, pauses, checks);
    std::string error;
    if (!procedure_->Start()) error = procedure_->startError();
    procedure_->setOpenMode(0);
    return error;
}

hid::HidDevice* WindowDevices::ObjectFor(std::uint8_t mode) {
    if (mode == protocol::kModeApplication) return app_.get();
    if (mode == protocol::kModeUpdate) return dfu_.get();
    return nullptr;
}

bool WindowDevices::Refresh() {
    if (!procedure_) return false;
    // Each object's list is taken in one piece right after its enumeration: the update worker
    // may enumerate the same object meanwhile, and a count from one enumeration with entries
    // from another would give lines without a device behind them.
    app_->EnumerateDevices();
    const std::vector<hid::DeviceListEntry> apps = app_->list();
    dfu_->EnumerateDevices();
    const std::vector<hid::DeviceListEntry> dfus = dfu_->list();
    if (procedure_->RefreshWhileSwitching()) return false;

    const int a = static_cast<int>(apps.size());
    const int d = static_cast<int>(dfus.size());
    const int count = std::min(a + d, kMaxDeviceEntries);
    lines_.clear();
    for (int i = 0; i < count; ++i) {
        const bool application = i < a;
        const int index = application ? i : i - a;
        const hid::DeviceListEntry& entry = application ? apps[static_cast<std::size_t>(index)]
                                                        : dfus[static_cast<std::size_t>(index)];
        entries_[static_cast<std::size_t>(i)] = {
            application ? protocol::kModeApplication : protocol::kModeUpdate,
            static_cast<std::uint8_t>(index)};
        listed_[static_cast<std::size_t>(i)] = entry;
        lines_.push_back(text::TerminalSafe(entry.product) + ": " +
                         text::TerminalSafe(entry.serial));
    }
    denied_ = CountDenied(*app_) + CountDenied(*dfu_);
    return true;
}

DeviceEntry WindowDevices::entry(int line) const {
    if (line < 0 || line >= count()) return {};
    return entries_[static_cast<std::size_t>(line)];
}

void WindowDevices::OpenOrClose(int line, const ShowError& show) {
    if (!procedure_) return;
    const std::uint8_t mode = openMode();
    if (mode != 0) {
        std::uint8_t result = 0;
        if (hid::HidDevice* object = ObjectFor(mode)) result = object->Close();
        if (result != 0) show({result, {}});
        // The button's close leaves nothing open whatever the result.
        procedure_->setOpenMode(0);
        return;
    }
    if (line < 0 || line >= count()) return;
    const DeviceEntry e = entries_[static_cast<std::size_t>(line)];
    hid::HidDevice* object = ObjectFor(e.mode);
    if (object == nullptr) return;
    const hid::DeviceListEntry& listed = listed_[static_cast<std::size_t>(line)];
    DeviceError error;
    error.code = OpenListed(*object, listed, error.cause);
    if (error.code != hid::kOpenOk) {
        show(error);
        return;
    }
    openDevice_ = {listed.serial, listed.port};
    procedure_->setOpenMode(e.mode);
}

void WindowDevices::CloseDeparted(const ShowError& show) {
    hid::HidDevice* object = ObjectFor(openMode());
    if (object == nullptr || !object->isOpen()) return;
    const std::string path = object->openPath();
    const auto present = bus_.enumerate();
    if (std::any_of(present.begin(), present.end(),
                    [&path](const platform::HidInterfaceInfo& i) { return i.path == path; }))
        return;
    const std::uint8_t result = object->Close();
    if (result != 0) {
        show({result, {}});
        return;
    }
    procedure_->setOpenMode(0);
}

void WindowDevices::Stop() {
    if (procedure_) procedure_->Stop();
}

void WindowDevices::Close(const std::function<void(std::uint8_t code)>& closeFailed) {
    for (hid::HidDevice* object : {static_cast<hid::HidDevice*>(dfu_.get()),
                                   static_cast<hid::HidDevice*>(app_.get())}) {
        if (object == nullptr || !object->isOpen()) continue;
        const std::uint8_t result = object->Close();
        if (result != 0 && closeFailed) closeFailed(result);
    }
    procedure_.reset();
    app_.reset();
    dfu_.reset();
}

}  // namespace vumo::frontend
