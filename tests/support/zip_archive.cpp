#include "zip_archive.h"

#include <sstream>
#include <stdexcept>

#include <Poco/DateTime.h>
#include <Poco/Zip/Compress.h>

namespace orvix::test {

std::string zipArchive(const std::vector<std::pair<std::string, std::string>>& members) {
    std::ostringstream out(std::ios::binary);
    Poco::Zip::Compress compress(out, true);
    for (const auto& [name, content] : members) {
        if (!name.empty() && name.back() == '/') {
            compress.addDirectory(name, Poco::DateTime());
        } else {
            std::istringstream in(content);
            compress.addFile(in, Poco::DateTime(), name);
        }
    }
    compress.close();
    return out.str();
}

std::string declareSize(std::string archive, std::uint32_t size) {
    const auto put = [&](std::size_t at) {
        for (int i = 0; i < 4; ++i) {
            archive[at + i] = static_cast<char>((size >> (8 * i)) & 0xFF);
        }
    };
    const auto local = archive.find(std::string("PK\x03\x04", 4));
    const auto central = archive.find(std::string("PK\x01\x02", 4));
    if (local == std::string::npos || central == std::string::npos) {
        throw std::invalid_argument("declareSize: not a ZIP archive");
    }
    put(local + 22);
    put(central + 24);
    return archive;
}

std::string patterned(std::size_t size, char seed) {
    std::string text(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        text[i] = static_cast<char>(seed + (i * 7 + i / 13) % 61);
    }
    return text;
}

}  // namespace orvix::test
