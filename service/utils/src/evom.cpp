#include "evom.h"

#include <Poco/Zip/ZipException.h>

#include <archive.h>
#include <archive_entry.h>
#include <locale.h>

#include <algorithm>
#include <iterator>
#include <memory>
#include <stdexcept>

namespace velmora::Utils {

namespace {

using Members = std::vector<std::pair<std::string, std::vector<unsigned char>>>;

struct ArchiveFree {
    void operator()(archive* reader) const { archive_read_free(reader); }
};
using Reader = std::unique_ptr<archive, ArchiveFree>;

std::string reasonOf(archive* reader) {
    const char* text = archive_error_string(reader);
    return text != nullptr ? text : "unreadable archive";
}

// A reader of ZIP archives only, over the archive's bytes in memory. The format that
// reads the central directory is the one used: it knows every member's sizes and CRC
// even when they follow the member's data (archives written to a pipe), and bytes
// that are not a ZIP archive ending in a central directory are refused as such.
Reader openArchive(const std::vector<unsigned char>& bytes) {
    Reader reader(archive_read_new());
    if (!reader) {
        throw std::bad_alloc();
    }
    archive_read_support_format_zip_seekable(reader.get());
    // An empty buffer is not an archive; the reader is never handed a null pointer.
    static const unsigned char nothing = 0;
    const void* data = bytes.empty() ? &nothing : bytes.data();
    if (archive_read_open_memory(reader.get(), data, bytes.size()) != ARCHIVE_OK) {
        throw Poco::Zip::ZipException("not a ZIP archive", reasonOf(reader.get()));
    }
    return reader;
}

// An archive of no members is nothing but its end-of-central-directory record (22
// bytes and a comment): a valid, empty backup, which the reader does not take for
// an archive at all.
bool isEmptyArchive(const std::vector<unsigned char>& bytes) {
    static const unsigned char kEnd[] = {'P', 'K', 0x05, 0x06};
    constexpr std::size_t kRecordSize = 22;
    if (bytes.size() < kRecordSize || !std::equal(std::begin(kEnd), std::end(kEnd), bytes.begin())) {
        return false;
    }
    const auto field = [&bytes](std::size_t at) { return bytes[at] | (bytes[at + 1] << 8); };
    // Entries on this disk and in all, central directory size and offset: all zero.
    const bool nothing =
        std::all_of(bytes.begin() + 4, bytes.begin() + 20, [](unsigned char b) { return b == 0; });
    return nothing && bytes.size() == kRecordSize + static_cast<std::size_t>(field(20));
}

std::string nameOf(archive_entry* entry) {
    // Names are handed on byte for byte, whatever the locale makes of them.
    const char* name = archive_entry_pathname_utf8(entry);
    if (name == nullptr) {
        name = archive_entry_pathname(entry);
    }
    return name != nullptr ? name : "";
}

bool isUnpacked(archive_entry* entry) {
    return archive_entry_filetype(entry) != AE_IFDIR;
}

// The next member's header, or nullptr after the last. A header the reader only
// warns about is refused all the same: the archive is damaged or crafted.
archive_entry* nextHeader(archive* reader) {
    archive_entry* entry = nullptr;
    const int status = archive_read_next_header(reader, &entry);
    if (status == ARCHIVE_EOF) {
        return nullptr;
    }
    if (status == ARCHIVE_OK) {
        return entry;
    }
    const std::string reason = reasonOf(reader);
    // The central directory and the member's own header disagree.
    if (status == ARCHIVE_WARN && entry != nullptr && reason.rfind("Inconsistent", 0) == 0) {
        const bool size = reason.find("size") != std::string::npos;
        throw std::runtime_error((size ? "Size mismatch for " : "CRC failed for ") + nameOf(entry));
    }
    throw Poco::Zip::ZipException("damaged ZIP archive", reason);
}

std::uint64_t declaredSize(archive_entry* entry) {
    const la_int64_t size = archive_entry_size(entry);
    return archive_entry_size_is_set(entry) && size > 0 ? static_cast<std::uint64_t>(size) : 0;
}

// What the members declare they unpack to, all together, checked before any of them
// is unpacked: a small archive may claim gigabytes.
void checkDeclaredSizes(const std::vector<unsigned char>& bytes, std::uint64_t limit) {
    const Reader reader = openArchive(bytes);
    std::uint64_t total = 0;
    while (archive_entry* entry = nextHeader(reader.get())) {
        if (!isUnpacked(entry)) {
            continue;
        }
        const std::uint64_t size = declaredSize(entry);
        if (size > limit || total > limit - size) {
            throw std::runtime_error("Archive too large: members declare more than " + std::to_string(limit) +
                                     " bytes");
        }
        total += size;
    }
}

// The member's bytes, never more than it declares: inflation stops there. Data the
// reader cannot unpack, a CRC that does not match and a size other than the declared
// one all mean a damaged member.
std::vector<unsigned char> readMember(archive* reader, const std::string& name, std::uint64_t declared) {
    std::vector<unsigned char> bytes;
    // Growing as the data comes keeps a false claim from setting memory aside.
    constexpr std::uint64_t kFirstReservation = 1024 * 1024;
    bytes.reserve(static_cast<std::size_t>(std::min(declared, kFirstReservation)));
    unsigned char block[8192];
    for (;;) {
        const la_ssize_t got = archive_read_data(reader, block, sizeof block);
        if (got == 0) {
            break;
        }
        if (got < 0 || static_cast<std::uint64_t>(got) > declared - bytes.size()) {
            throw std::runtime_error("CRC failed for " + name);
        }
        bytes.insert(bytes.end(), block, block + got);
    }
    // A CRC that does not match comes as a warning from the last read, a negative count.
    if (bytes.size() != declared) {
        throw std::runtime_error("CRC failed for " + name);
    }
    return bytes;
}

// The reader converts member names into the thread's locale, and under "C" (a
// service's usual one) it refuses any name beyond ASCII. Under UTF-8 it converts
// nothing: names stored as UTF-8, or in any other charset, come out as stored.
class Utf8Names {
public:
    Utf8Names() : locale_(::newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr))) {
        if (locale_ != static_cast<locale_t>(nullptr)) {
            previous_ = ::uselocale(locale_);
        }
    }
    ~Utf8Names() {
        if (locale_ != static_cast<locale_t>(nullptr)) {
            ::uselocale(previous_);
            ::freelocale(locale_);
        }
    }
    Utf8Names(const Utf8Names&) = delete;
    Utf8Names& operator=(const Utf8Names&) = delete;

private:
    locale_t locale_;
    locale_t previous_ = LC_GLOBAL_LOCALE;
};

}  // namespace

Members decompressEVOM(const std::vector<unsigned char>& archive, std::uint64_t maxUnpackedBytes) {
    if (isEmptyArchive(archive)) {
        return {};
    }
    const Utf8Names names;
    checkDeclaredSizes(archive, maxUnpackedBytes);

    const Reader reader = openArchive(archive);
    Members members;
    while (archive_entry* entry = nextHeader(reader.get())) {
        if (!isUnpacked(entry)) {
            continue;
        }
        std::string name = nameOf(entry);
        std::vector<unsigned char> bytes = readMember(reader.get(), name, declaredSize(entry));
        // A deflated empty file has a few bytes of compressed data but nothing to hand on.
        if (!bytes.empty()) {
            members.emplace_back(std::move(name), std::move(bytes));
        }
    }
    std::stable_sort(members.begin(), members.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    return members;
}

}  // namespace velmora::Utils
