// init_sdk and scan_cameras: the SDK resource is held only around their SDK calls.
#include "sdk/discovery.h"

#include <array>
#include <cstring>

#include "sdk/sdk_guard.h"
#include "sdk/vendor_api.h"

namespace {

bool is_valid_utf8(const unsigned char* text, std::size_t length) {
    std::size_t i = 0;
    while (i < length) {
        const unsigned char lead = text[i];
        std::size_t extra = 0;
        std::uint32_t min = 0;
        std::uint32_t cp = 0;
        if (lead < 0x80) {
            ++i;
            continue;
        } else if ((lead & 0xE0) == 0xC0) {
            extra = 1, min = 0x80, cp = lead & 0x1Fu;
        } else if ((lead & 0xF0) == 0xE0) {
            extra = 2, min = 0x800, cp = lead & 0x0Fu;
        } else if ((lead & 0xF8) == 0xF0) {
            extra = 3, min = 0x10000, cp = lead & 0x07u;
        } else {
            return false;
        }
        if (length - i <= extra)
            return false;
        for (std::size_t k = 1; k <= extra; ++k) {
            const unsigned char next = text[i + k];
            if ((next & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (next & 0x3Fu);
        }
        // Overlong forms, UTF-16 surrogates and values past U+10FFFF are not text.
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += extra + 1;
    }
    return true;
}

} // namespace

Result<std::uint32_t> scan_camera_count() {
    const std::uint32_t count = sdk::scan();
    if (count == sdk::kScanFailed)
        return CameraError{ErrorKind::ScanFailed, count};
    return count;
}

Result<std::string> read_camera_id(std::uint32_t index) {
    std::array<char, sdk::kIdBufferSize> buffer{};
    if (std::uint32_t rc = sdk::camera_id(index, buffer.data()); rc != 0)
        return CameraError{ErrorKind::OperationFailed, rc};
    // An SDK that fills all 64 bytes without a NUL gets its id cut at the buffer's end.
    const void* nul = std::memchr(buffer.data(), 0, buffer.size());
    const std::size_t length =
        nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - buffer.data())
            : buffer.size();
    if (!is_valid_utf8(reinterpret_cast<const unsigned char*>(buffer.data()), length))
        return CameraError{ErrorKind::StringConversion};
    return std::string(buffer.data(), length);
}

Status init_sdk() {
    Result<SdkGuard> guard = SdkGuard::acquire();
    if (!guard.ok())
        return guard.take_failure();
    return success();
}

Result<std::vector<std::string>> scan_cameras() {
    Result<SdkGuard> guard = SdkGuard::acquire();
    if (!guard.ok())
        return guard.take_failure();
    Result<std::uint32_t> count = scan_camera_count();
    if (!count.ok())
        return count.take_failure();
    std::vector<std::string> ids;
    for (std::uint32_t index = 0; index < count.value(); ++index) {
        // An id that cannot be read is skipped without a word, as the SDK's own tools do.
        if (Result<std::string> id = read_camera_id(index); id.ok())
            ids.push_back(std::move(id.value()));
    }
    return ids;
}
