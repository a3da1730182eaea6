// Embedded previews of raw pictures and Photoshop documents on arbitrary
// bytes: any span found lies inside the input and starts a JPEG frame.
#include "platform/thumbnailer/EmbeddedPreview.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    for (bool psd : {false, true}) {
        const auto found = psd ? salvor::thumbnail::FindPsdThumbnail(bytes) : salvor::thumbnail::FindRawPreview(bytes);
        if (!found) continue;
        if (found->offset > size || found->length > size - found->offset) __builtin_trap();
        if (!salvor::thumbnail::ReadJpegFrame(bytes.subspan(found->offset, found->length))) __builtin_trap();
    }
    return 0;
}
