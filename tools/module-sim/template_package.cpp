#include "template_package.h"

#include <Poco/DateTime.h>
#include <Poco/JSON/Array.h>
#include <Poco/JSON/Object.h>
#include <Poco/JSON/Parser.h>
#include <Poco/StreamCopier.h>
#include <Poco/Zip/Compress.h>
#include <Poco/Zip/ZipArchive.h>
#include <Poco/Zip/ZipStream.h>

#include <sstream>

namespace orvix::modsim {

namespace {

const char* const kPackageFormat = "module-templates/1";

}  // namespace

std::string writeTemplatePackage(const TemplateTable& templates, const std::string& serial) {
    Poco::JSON::Object package(Poco::JSON_PRESERVE_KEY_ORDER);
    package.set("format", kPackageFormat);
    package.set("sn", serial);
    Poco::JSON::Array::Ptr items = new Poco::JSON::Array;
    for (const auto& [id, sids] : templates) {
        Poco::JSON::Object::Ptr item = new Poco::JSON::Object(Poco::JSON_PRESERVE_KEY_ORDER);
        item->set("id", id);
        Poco::JSON::Array::Ptr list = new Poco::JSON::Array;
        for (const auto& sid : sids) {
            list->add(sid);
        }
        item->set("templates", list);
        items->add(item);
    }
    package.set("items", items);
    std::ostringstream out;
    package.stringify(out);
    return out.str();
}

bool readTemplatePackage(const std::string& bytes, TemplateTable& templates) {
    try {
        Poco::JSON::Parser parser;
        auto root = parser.parse(bytes).extract<Poco::JSON::Object::Ptr>();
        if (!root || root->optValue<std::string>("format", "") != kPackageFormat) {
            return false;
        }
        auto items = root->getArray("items");
        if (!items) {
            return false;
        }
        TemplateTable read;
        for (std::size_t i = 0; i < items->size(); ++i) {
            auto item = items->getObject(static_cast<unsigned>(i));
            if (!item || !item->get("id").isString()) {
                return false;
            }
            auto& sids = read[item->getValue<std::string>("id")];
            auto list = item->getArray("templates");
            for (std::size_t j = 0; list && j < list->size(); ++j) {
                sids.push_back(list->getElement<std::string>(static_cast<unsigned>(j)));
            }
        }
        templates = std::move(read);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

std::string writeTemplateArchive(const TemplateTable& templates, const std::string& serial,
                                 const std::string& createdAt) {
    std::size_t templateCount = 0;
    for (const auto& entry : templates) {
        templateCount += entry.second.size();
    }
    Poco::JSON::Object manifest(Poco::JSON_PRESERVE_KEY_ORDER);
    manifest.set("sn", serial);
    manifest.set("created", createdAt);
    manifest.set("items", static_cast<int>(templates.size()));
    manifest.set("templates", static_cast<int>(templateCount));
    std::ostringstream manifestText;
    manifest.stringify(manifestText);

    std::ostringstream archive(std::ios::out | std::ios::binary);
    Poco::Zip::Compress compress(archive, true);
    std::istringstream manifestIn(manifestText.str());
    compress.addFile(manifestIn, Poco::DateTime(), Poco::Path("manifest.json"));
    std::istringstream packageIn(writeTemplatePackage(templates, serial));
    compress.addFile(packageIn, Poco::DateTime(), Poco::Path("templates.evo"));
    compress.close();
    return archive.str();
}

bool looksLikeZip(const std::string& bytes) {
    return bytes.rfind("PK\x03\x04", 0) == 0;
}

std::vector<std::pair<std::string, std::string>> unzipMembers(const std::string& archive) {
    std::istringstream in(archive, std::ios::in | std::ios::binary);
    Poco::Zip::ZipArchive zip(in);
    std::vector<std::pair<std::string, std::string>> members;
    for (auto it = zip.headerBegin(); it != zip.headerEnd(); ++it) {
        if (it->second.isDirectory()) {
            continue;
        }
        // Reading the directory leaves the stream at its end with the fail bit set.
        in.clear();
        in.seekg(0);
        Poco::Zip::ZipInputStream member(in, it->second);
        std::string bytes;
        Poco::StreamCopier::copyToString(member, bytes);
        members.emplace_back(it->first, std::move(bytes));
    }
    return members;
}

}  // namespace orvix::modsim
