// Systems with neither logind nor Windows' power requests: nothing is held; the front ends
// say once that the machine is not kept awake.

#include "session/desktop_bus.h"

namespace vumo::session {

std::unique_ptr<InhibitLock> TakeInhibitLock(const std::string&, std::string& error) {
    error = "this system offers no way to hold off sleep";
    return nullptr;
}

}  // namespace vumo::session
