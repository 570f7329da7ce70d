// The process-wide SDK resource flag and its scoped holder.
#include "sdk/sdk_guard.h"

#include <atomic>

#include "sdk/vendor_api.h"

namespace {

// True while the module holds the SDK resource. The flag is not a lock and is not counted:
// a second holder neither waits nor calls the SDK, and the first release ends every hold.
std::atomic<bool> sdk_initialised{false};

} // namespace

Result<SdkGuard> SdkGuard::acquire() {
    if (sdk_initialised.exchange(true))
        return SdkGuard{};
    if (std::uint32_t rc = sdk::init_resource(); rc != 0) {
        sdk_initialised.exchange(false);
        return CameraError{ErrorKind::SdkInitFailed, rc};
    }
    return SdkGuard{};
}

SdkGuard::~SdkGuard() {
    // The flag is cleared before the SDK is told, so no new holder can see a stale "held".
    if (active_ && sdk_initialised.exchange(false))
        sdk::release_resource();
}
