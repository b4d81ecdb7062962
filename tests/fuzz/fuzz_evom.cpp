// decompressEVOM on archives as they come from the cloud's storage: any bytes. It
// may refuse them with an exception; it must not crash, hang or allocate more than
// its limit allows.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <vector>

#include "evom.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<unsigned char> archive(data, data + size);
    try {
        std::size_t total = 0;
        for (const auto& member : velmora::Utils::decompressEVOM(archive)) {
            total += member.second.size();
        }
        (void)total;
    } catch (const std::exception&) {
    }
    return 0;
}
