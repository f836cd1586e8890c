// Windows keeps itself awake for a program that holds a power request: "system required"
// holds off sleep for as long as the request is set (`powercfg /requests` shows its reason).

#include "session/desktop_bus.h"

#include "base/windows_text.h"

#include <windows.h>

namespace vumo::session {

namespace {

class PowerRequest final : public InhibitLock {
public:
    explicit PowerRequest(HANDLE request) : request_(request) {}
    ~PowerRequest() override {
        PowerClearRequest(request_, PowerRequestSystemRequired);
        CloseHandle(request_);
    }
    PowerRequest(const PowerRequest&) = delete;
    PowerRequest& operator=(const PowerRequest&) = delete;

private:
    HANDLE request_;
};

std::string Refusal(const char* call) {
    const DWORD code = GetLastError();
    if (code == ERROR_CALL_NOT_IMPLEMENTED) return "this Windows does not offer power requests";
    return std::string("Windows refused the power request (") + call + ", error " +
           std::to_string(code) + ")";
}

}  // namespace

std::unique_ptr<InhibitLock> TakeInhibitLock(const std::string& why, std::string& error) {
    std::wstring reason = base::Widen(std::string(kInhibitWho) + ": " + why);
    REASON_CONTEXT context{};
    context.Version = POWER_REQUEST_CONTEXT_VERSION;
    context.Flags = POWER_REQUEST_CONTEXT_SIMPLE_STRING;
    context.Reason.SimpleReasonString = reason.data();
    const HANDLE request = PowerCreateRequest(&context);
    if (request == INVALID_HANDLE_VALUE) {
        error = Refusal("PowerCreateRequest");
        return nullptr;
    }
    if (!PowerSetRequest(request, PowerRequestSystemRequired)) {
        error = Refusal("PowerSetRequest");
        CloseHandle(request);
        return nullptr;
    }
    return std::make_unique<PowerRequest>(request);
}

}  // namespace vumo::session
