#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace orvix::modsim {

// The module's recognition templates: product code to the ids of its templates.
using TemplateTable = std::map<std::string, std::vector<std::string>>;

// A template package (".evo"): a JSON document listing products and their templates.
std::string writeTemplatePackage(const TemplateTable& templates, const std::string& serial);
// Reads a package written by writeTemplatePackage; false when the bytes are not one.
bool readTemplatePackage(const std::string& bytes, TemplateTable& templates);

// The exported archive (".evom"): a ZIP archive holding "manifest.json" and "templates.evo".
std::string writeTemplateArchive(const TemplateTable& templates, const std::string& serial,
                                 const std::string& createdAt);

bool looksLikeZip(const std::string& bytes);
// Every member of a ZIP archive with its bytes, in the archive's order; throws on damaged data.
std::vector<std::pair<std::string, std::string>> unzipMembers(const std::string& archive);

}  // namespace orvix::modsim
