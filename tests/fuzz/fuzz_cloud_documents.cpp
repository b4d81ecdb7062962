// The token endpoint's answer and the offered task, as the cloud may send them. The
// readers refuse what they cannot use with an exception; what they accept holds
// what the rest of the client relies on.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <string>

#include "monitoring_documents.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string body(reinterpret_cast<const char*>(data), size);
    try {
        const auto token = velmora::Engine::Sync::readTokenAnswer(body);
        if (token.access_token.empty()) {
            std::abort();  // an accepted answer always carries a token
        }
    } catch (const std::exception&) {
    }
    try {
        const auto task = velmora::Engine::Sync::readTask(body);
        if (task && !task->result.empty()) {
            std::abort();  // a task arrives without a result
        }
    } catch (const std::exception&) {
    }
    return 0;
}
