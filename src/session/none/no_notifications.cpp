// Systems without a D-Bus desktop: no notice is sent when a run ends unwatched.

#include "session/desktop_bus.h"

namespace vumo::session {

struct DesktopNotifier::Bus {};

DesktopNotifier::DesktopNotifier() = default;
DesktopNotifier::~DesktopNotifier() = default;

bool DesktopNotifier::Notify(const std::string&, const std::string&, std::string* why) {
    if (why != nullptr) *why = "this system has no desktop notifications";
    return false;
}

}  // namespace vumo::session
