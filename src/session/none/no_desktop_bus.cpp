// Systems without logind or a D-Bus desktop: nothing is held and no notice is sent; the front
// ends say once that the machine is not kept awake.

#include "session/desktop_bus.h"

namespace vumo::session {

base::UniqueFd TakeInhibitLock(const std::string&, std::string& error) {
    error = "this system has no logind to ask";
    return {};
}

struct DesktopNotifier::Bus {};

DesktopNotifier::DesktopNotifier() = default;
DesktopNotifier::~DesktopNotifier() = default;

bool DesktopNotifier::Notify(const std::string&, const std::string&, std::string* why) {
    if (why != nullptr) *why = "this system has no desktop notifications";
    return false;
}

}  // namespace vumo::session
