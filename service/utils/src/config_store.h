#pragma once

// The agent's typed configuration: conversion between the text rows of the
// configurations table and the in-memory map, import of a JSON object of settings
// and export of the map.

#include <mutex>
#include <string>
#include <unordered_map>

#include <Poco/Dynamic/Var.h>
#include <Poco/JSON/Object.h>

namespace velmora::Engine::DB {
class SQLiteDB;
}  // namespace velmora::Engine::DB

namespace velmora::Utils {

using ConfigMap = std::unordered_map<std::string, Poco::Dynamic::Var>;

// Text and type name of a row to a typed value: "int" gives int, "double" double,
// "bool" true only for "true", "encrypted_string" the decrypted text, anything else
// the text. Empty text, and text that does not convert, come back as the text.
Poco::Dynamic::Var makeTypedValue(std::string value, std::string type);

// "string", "int" (64-bit signed), "double" or "bool" by the held type; "" for
// anything else.
std::string getTypeAsString(const Poco::Dynamic::Var& value);

// Whether the value of `key` is a secret, stored encrypted by jsonToConfig.
bool isEncryptedKey(const std::string& key);

// Stores every member of the object in the table (the secret keys encrypted)
// and then in the map, all or nothing. Locks `mutex` itself: the caller must not
// hold it. Throws Poco::Exception "Invalid config value type" for a member that is
// null, an array, an object or an out-of-range number.
void jsonToConfig(Poco::JSON::Object::Ptr& json, std::mutex& mutex, velmora::Engine::DB::SQLiteDB& db,
                  ConfigMap& config);

// The map as a new JSON object, secrets in plain text.
Poco::JSON::Object::Ptr configToJson(ConfigMap& config);

}  // namespace velmora::Utils
