#include "module_state.h"

#include "sample_picture.h"

#include <Poco/DateTime.h>
#include <Poco/DateTimeFormatter.h>
#include <Poco/Dynamic/Var.h>
#include <Poco/JSON/Array.h>
#include <Poco/JSON/Object.h>
#include <Poco/JSON/Parser.h>
#include <Poco/Net/IPAddress.h>
#include <Poco/Timestamp.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <limits>
#include <sstream>
#include <stdexcept>

namespace orvix::modsim {

namespace {

using Poco::Dynamic::Var;
using Poco::JSON::Array;
using Poco::JSON::Object;

// The module's own refusal codes used here.
constexpr int kJsonParsingFailed = -6200;
constexpr int kFileMissing = -6202;
constexpr int kFileVerificationFailed = -6211;
constexpr int kParameterError = -6213;

const char* codeText(int code) {
    switch (code) {
        case kJsonParsingFailed:
            return "Json parsing failed";
        case kFileMissing:
            return "File does not exist";
        case kFileVerificationFailed:
            return "File verification failed";
        case kParameterError:
            return "Parameter error";
        default:
            return "Unknown mistake";
    }
}

const int kMaxTemplatesPerItem = 30;

// A request the module refuses because of its parameters.
struct Refusal : std::runtime_error {
    Refusal(int code, const std::string& what) : std::runtime_error(what), code(code) {}
    int code;
};

std::string toJson(const Object& object) {
    std::ostringstream out;
    object.stringify(out);
    return out.str();
}

Object::Ptr newObject() {
    return new Object(Poco::JSON_PRESERVE_KEY_ORDER);
}

Reply envelope(int code, const Var& data = Var()) {
    Object env(Poco::JSON_PRESERVE_KEY_ORDER);
    env.set("code", code);
    env.set("data", data);
    if (code != 0) {
        env.set("msg", codeText(code));
    }
    Reply reply;
    reply.body = toJson(env);
    reply.code = code;
    return reply;
}

// A job status answer: the keys stand beside "code" at the top level.
Reply statusEnvelope(int status, const std::string& msg, const std::optional<std::string>& filename) {
    Object env(Poco::JSON_PRESERVE_KEY_ORDER);
    env.set("code", 0);
    env.set("data", Var());
    env.set("msg", msg);
    if (filename) {
        env.set("filename", *filename);
    }
    env.set("status", status);
    Reply reply;
    reply.body = toJson(env);
    reply.code = 0;
    return reply;
}

// Parameter readers: strict JSON types, as a device firmware would check them.
Object::Ptr requireObject(const Var& body) {
    if (body.type() != typeid(Object::Ptr) || !body.extract<Object::Ptr>()) {
        throw Refusal(kParameterError, "request body is not a JSON object");
    }
    return body.extract<Object::Ptr>();
}

int requireInt(const Object::Ptr& object, const std::string& key, int min, int max) {
    Var value = object->get(key);
    if (!object->has(key) || value.isEmpty() || !value.isInteger() || value.isBoolean()) {
        throw Refusal(kParameterError, "\"" + key + "\" must be an integer");
    }
    auto number = value.convert<Poco::Int64>();
    if (number < min || number > max) {
        throw Refusal(kParameterError, "\"" + key + "\" out of range");
    }
    return static_cast<int>(number);
}

bool requireBool(const Object::Ptr& object, const std::string& key) {
    Var value = object->get(key);
    if (!object->has(key) || value.isEmpty() || !value.isBoolean()) {
        throw Refusal(kParameterError, "\"" + key + "\" must be a boolean");
    }
    return value.convert<bool>();
}

std::string requireString(const Object::Ptr& object, const std::string& key, bool allowEmpty = false) {
    Var value = object->get(key);
    if (!object->has(key) || value.isEmpty() || !value.isString()) {
        throw Refusal(kParameterError, "\"" + key + "\" must be a string");
    }
    auto text = value.convert<std::string>();
    if (!allowEmpty && text.empty()) {
        throw Refusal(kParameterError, "\"" + key + "\" must not be empty");
    }
    return text;
}

std::optional<std::string> optionalString(const Object::Ptr& object, const std::string& key) {
    if (!object->has(key)) {
        return std::nullopt;
    }
    return requireString(object, key, true);
}

std::string base64(const std::string& bytes) {
    static const char* const alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        unsigned n = (static_cast<unsigned char>(bytes[i]) << 16) |
                     (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                     static_cast<unsigned char>(bytes[i + 2]);
        out += alphabet[(n >> 18) & 63];
        out += alphabet[(n >> 12) & 63];
        out += alphabet[(n >> 6) & 63];
        out += alphabet[n & 63];
    }
    if (i < bytes.size()) {
        unsigned n = static_cast<unsigned char>(bytes[i]) << 16;
        if (i + 1 < bytes.size()) {
            n |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        }
        out += alphabet[(n >> 18) & 63];
        out += alphabet[(n >> 12) & 63];
        out += i + 1 < bytes.size() ? alphabet[(n >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

// The first part named "file" of a multipart form, with its file name.
struct UploadedFile {
    std::string filename;
    std::string bytes;
};

std::string boundaryOf(const std::string& contentType) {
    auto lower = contentType;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    if (lower.rfind("multipart/form-data", 0) != 0) {
        throw Refusal(kParameterError, "content type is not multipart/form-data");
    }
    auto at = lower.find("boundary=");
    if (at == std::string::npos) {
        throw Refusal(kParameterError, "multipart content type without boundary");
    }
    auto boundary = contentType.substr(at + 9);
    boundary = boundary.substr(0, boundary.find(';'));
    if (boundary.size() >= 2 && boundary.front() == '"' && boundary.back() == '"') {
        boundary = boundary.substr(1, boundary.size() - 2);
    }
    if (boundary.empty()) {
        throw Refusal(kParameterError, "empty multipart boundary");
    }
    return boundary;
}

std::string headerParameter(const std::string& headers, const std::string& name) {
    auto key = name + "=\"";
    auto at = headers.find(key);
    if (at == std::string::npos) {
        return {};
    }
    at += key.size();
    auto end = headers.find('"', at);
    return end == std::string::npos ? std::string() : headers.substr(at, end - at);
}

UploadedFile fileFromForm(const std::string& contentType, const std::string& body) {
    const std::string delimiter = "--" + boundaryOf(contentType);
    auto at = body.find(delimiter);
    while (at != std::string::npos) {
        auto headersStart = at + delimiter.size();
        if (body.compare(headersStart, 2, "--") == 0) {
            break;  // the closing delimiter
        }
        if (body.compare(headersStart, 2, "\r\n") != 0) {
            throw Refusal(kParameterError, "malformed multipart body");
        }
        headersStart += 2;
        auto headersEnd = body.find("\r\n\r\n", headersStart);
        if (headersEnd == std::string::npos) {
            throw Refusal(kParameterError, "multipart part without header end");
        }
        auto dataStart = headersEnd + 4;
        auto next = body.find("\r\n" + delimiter, dataStart);
        if (next == std::string::npos) {
            throw Refusal(kParameterError, "multipart part without closing delimiter");
        }
        auto headers = body.substr(headersStart, headersEnd - headersStart);
        if (headerParameter(headers, "name") == "file") {
            return UploadedFile{headerParameter(headers, "filename"),
                                body.substr(dataStart, next - dataStart)};
        }
        at = next + 2;
    }
    throw Refusal(kParameterError, "no part named \"file\" in the form");
}

}  // namespace

// The command table: name, HTTP method, handler.
struct Commands {
    using Handler = std::function<Reply(ModuleState&, const Var& body, const std::string& contentType,
                                        const std::string& raw)>;
    struct Entry {
        const char* method;
        Handler handler;
    };
    static const std::map<std::string, Entry>& table();

    static Reply deviceInfo(ModuleState& m) { return envelope(0, deviceInfoData(m)); }

    static Object::Ptr deviceInfoData(ModuleState& m) {
        const auto& s = m.settings_;
        auto data = newObject();
        data->set("app", "3.2.7");
        data->set("engine", "5.1.4");
        data->set("firmware", m.firmware_);
        data->set("item_count", static_cast<int>(m.templates_.size()));
        data->set("learnMode", s.learnMode);
        data->set("masterIP", s.masterIP);
        data->set("masterSN", s.masterSN);
        data->set("soldOutLimit", s.soldOutLimit);
        data->set("max_result_num", s.maxResult);
        data->set("predict_speed", s.predictSpeed);
        data->set("sn", m.options_.serial);
        data->set("sync", s.syncMode != "normal" && (s.upload || s.download) ? "on" : "off");
        data->set("sync_mode", s.syncMode);
        data->set("upload", s.upload);
        data->set("download", s.download);
        data->set("sync_limit", s.syncLimit);
        data->set("board", "VB-3568");
        data->set("mastersyncPort", s.mastersyncPort);
        return data;
    }

    static Reply boardInfo(ModuleState& m) {
        auto data = newObject();
        data->set("board", "VB-3568");
        data->set("clientID", "client-" + m.options_.serial);
        data->set("engine", "5.1.4");
        data->set("firmware", m.firmware_);
        data->set("sn", m.options_.serial);
        data->set("syncMode", m.settings_.syncMode);
        return envelope(0, data);
    }

    static Reply result(ModuleState& m) {
        std::vector<std::string> ids;
        for (const auto& entry : m.templates_) {
            if (!entry.second.empty()) {
                ids.push_back(entry.first);
            }
        }
        std::shuffle(ids.begin(), ids.end(), m.random_);
        ids.resize(std::min<std::size_t>(ids.size(), static_cast<std::size_t>(m.settings_.maxResult)));
        std::uniform_real_distribution<double> top(0.55, 0.98);
        std::uniform_real_distribution<double> fall(0.35, 0.85);
        double score = top(m.random_);
        auto items = Poco::JSON::Array::Ptr(new Array);
        for (const auto& id : ids) {
            auto item = newObject();
            item->set("id", id);
            item->set("score", static_cast<double>(static_cast<long>(score * 10000.0 + 0.5)) / 10000.0);
            items->add(item);
            score *= fall(m.random_);
        }
        auto sid = m.newSessionId();
        m.recentSessions_.push_back(sid);
        if (m.recentSessions_.size() > 200) {
            m.recentSessions_.pop_front();
        }
        auto data = newObject();
        data->set("items", items);
        data->set("sid", sid);
        return envelope(0, data);
    }

    static Reply feedback(ModuleState& m, const Var& body) {
        auto object = requireObject(body);
        ModuleState::Feedback feedback;
        feedback.sid = requireString(object, "sid");
        feedback.id = requireString(object, "id");
        feedback.knownSession = std::find(m.recentSessions_.begin(), m.recentSessions_.end(), feedback.sid) !=
                                m.recentSessions_.end();
        // In learn mode the operator's choice teaches the module a new template of that product.
        if (m.settings_.learnMode == 1) {
            auto& sids = m.templates_[feedback.id];
            if (static_cast<int>(sids.size()) < kMaxTemplatesPerItem) {
                sids.push_back(m.newTemplateId(feedback.id));
                feedback.learned = true;
            }
        }
        m.lastFeedback_ = feedback;
        return envelope(0);
    }

    static Reply exportTemplate(ModuleState& m, const Var& body) {
        auto object = requireObject(body);
        std::vector<std::string> ids;
        if (object->has("ids")) {
            auto list = object->get("ids");
            if (list.type() != typeid(Array::Ptr)) {
                throw Refusal(kParameterError, "\"ids\" must be an array");
            }
            auto array = list.extract<Array::Ptr>();
            for (std::size_t i = 0; i < array->size(); ++i) {
                auto id = array->get(static_cast<unsigned>(i));
                if (!id.isString()) {
                    throw Refusal(kParameterError, "\"ids\" must hold strings");
                }
                ids.push_back(id.convert<std::string>());
            }
        }
        TemplateTable selected;
        for (const auto& entry : m.templates_) {
            if (ids.empty() || std::find(ids.begin(), ids.end(), entry.first) != ids.end()) {
                selected.insert(entry);
            }
        }
        // A new export replaces one still running: the module keeps one export job.
        m.export_ = ModuleState::Job{};
        m.export_.started = true;
        m.export_.fails = m.failExport_;
        m.export_.startedAt = std::chrono::steady_clock::now();
        m.export_.filename = "templates_" + std::to_string(++m.exportCounter_) + ".evom";
        m.export_.payload = writeTemplateArchive(selected, m.options_.serial, m.moduleTimeText());
        return envelope(0);
    }

    static Reply upload(ModuleState& m, ModuleState::Job& job, bool fails, const std::string& contentType,
                        const std::string& raw) {
        auto file = fileFromForm(contentType, raw);
        if (file.bytes.empty()) {
            throw Refusal(kFileVerificationFailed, "empty file");
        }
        job = ModuleState::Job{};
        job.started = true;
        job.fails = fails;
        job.startedAt = std::chrono::steady_clock::now();
        job.payload = std::move(file.bytes);
        job.uploadName = std::move(file.filename);
        (void)m;
        return envelope(0);
    }

    static Reply exportStatus(ModuleState& m) {
        const auto& job = m.export_;
        if (!job.started) {
            return statusEnvelope(0, "no export task", std::string());
        }
        if (m.jobPhase(job, 1) < 1) {
            return statusEnvelope(1, "in progress", std::string());
        }
        if (job.fails) {
            return statusEnvelope(6, "fail to generate", std::string());
        }
        return statusEnvelope(3, "completed", job.filename);
    }

    static Reply importStatus(ModuleState& m) {
        const auto& job = m.import_;
        if (!job.started) {
            return statusEnvelope(0, "no import task", std::nullopt);
        }
        switch (m.jobPhase(job, 2)) {
            case 0:
                return statusEnvelope(2, "importing", std::nullopt);
            case 1:
                return statusEnvelope(3, "verifying package integrity", std::nullopt);
            default:
                return job.fails ? statusEnvelope(7, "fail to verify", std::nullopt)
                                 : statusEnvelope(4, "completed", std::nullopt);
        }
    }

    static Reply upgradeStatus(ModuleState& m) {
        const auto& job = m.upgrade_;
        if (!job.started) {
            return statusEnvelope(0, "no upgrade task", std::nullopt);
        }
        switch (m.jobPhase(job, 3)) {
            case 0:
                return statusEnvelope(1, "transferring", std::nullopt);
            case 1:
                return statusEnvelope(2, "upgrading", std::nullopt);
            case 2:
                return statusEnvelope(3, "verifying", std::nullopt);
            default:
                return job.fails ? statusEnvelope(5, "fail to upgrade", std::nullopt)
                                 : statusEnvelope(4, "completed", std::nullopt);
        }
    }

    static Reply itemList(ModuleState& m) {
        Array::Ptr data = new Array;
        for (const auto& [id, sids] : m.templates_) {
            auto item = newObject();
            item->set("id", id);
            item->set("count", static_cast<int>(sids.size()));
            data->add(item);
        }
        return envelope(0, data);
    }

    static Reply templateList(ModuleState& m, const Var& body) {
        auto id = requireString(requireObject(body), "id");
        Object env(Poco::JSON_PRESERVE_KEY_ORDER);
        env.set("code", 0);
        auto found = m.templates_.find(id);
        if (found == m.templates_.end() || found->second.empty()) {
            env.set("data", Var());
        } else {
            Array::Ptr list = new Array;
            for (const auto& sid : found->second) {
                list->add(sid);
            }
            env.set("data", list);
        }
        env.set("max", kMaxTemplatesPerItem);
        Reply reply;
        reply.body = toJson(env);
        reply.code = 0;
        return reply;
    }

    static Reply addTemplate(ModuleState& m, const Var& body) {
        auto id = requireString(requireObject(body), "id");
        auto& sids = m.templates_[id];
        if (static_cast<int>(sids.size()) >= kMaxTemplatesPerItem) {
            throw Refusal(kParameterError, "template limit of the product reached");
        }
        sids.push_back(m.newTemplateId(id));
        auto data = newObject();
        data->set("sid", sids.back());
        data->set("image", base64(samplePicture()));
        return envelope(0, data);
    }

    static Reply deleteTemplate(ModuleState& m, const Var& body) {
        auto object = requireObject(body);
        auto id = requireString(object, "id");
        auto sid = requireString(object, "sid");
        auto found = m.templates_.find(id);
        if (found == m.templates_.end()) {
            throw Refusal(kFileMissing, "no such product");
        }
        auto& sids = found->second;
        auto at = std::find(sids.begin(), sids.end(), sid);
        if (at == sids.end()) {
            throw Refusal(kFileMissing, "no such template");
        }
        sids.erase(at);
        if (sids.empty()) {
            m.templates_.erase(found);
        }
        return envelope(0);
    }

    static Reply deleteItem(ModuleState& m, const Var& body) {
        auto id = requireString(requireObject(body), "id");
        if (m.templates_.erase(id) == 0) {
            throw Refusal(kFileMissing, "no such product");
        }
        return envelope(0);
    }

    static Reply setSync(ModuleState& m, const Var& body, const std::string& mode) {
        auto object = requireObject(body);
        auto upload = requireBool(object, "upload");
        auto download = requireBool(object, "download");
        std::string masterIP;
        std::string port;
        if (mode == "slave") {
            masterIP = requireString(object, "masterIP");
            Poco::Net::IPAddress parsed;
            if (!Poco::Net::IPAddress::tryParse(masterIP, parsed)) {
                throw Refusal(kParameterError, "\"masterIP\" is not an IP address");
            }
            port = optionalString(object, "mastersyncPort").value_or("8082");
            char* end = nullptr;
            long number = std::strtol(port.c_str(), &end, 10);
            if (port.empty() || *end != '\0' || number < 1 || number > 65535) {
                throw Refusal(kParameterError, "\"mastersyncPort\" is not a port");
            }
        }
        auto& s = m.settings_;
        s.syncMode = mode;
        s.upload = upload;
        s.download = download;
        s.masterIP = masterIP;
        s.mastersyncPort = port;
        s.masterSN = mode == "slave" ? "VLM-MASTER-" + masterIP : std::string();
        m.syncMessage_ = mode == "normal" ? "sync not configured" : "waiting for sync";
        return envelope(0);
    }
};

const std::map<std::string, Commands::Entry>& Commands::table() {
    using M = ModuleState;
    static const std::map<std::string, Entry> commands = {
        {"get_image", {"POST", [](M&, const Var&, const std::string&, const std::string&) {
                           Reply reply;
                           reply.contentType = "image/jpeg";
                           reply.body = samplePicture();
                           return reply;
                       }}},
        {"get_item_list", {"GET", [](M& m, const Var&, const std::string&, const std::string&) {
                               return itemList(m);
                           }}},
        {"clear_all_template", {"POST", [](M& m, const Var&, const std::string&, const std::string&) {
                                    m.templates_.clear();
                                    return envelope(0);
                                }}},
        {"manual_sync", {"POST", [](M& m, const Var&, const std::string&, const std::string&) {
                             int count = 0;
                             for (const auto& entry : m.templates_) {
                                 count += static_cast<int>(entry.second.size());
                             }
                             m.syncCount_ = count;
                             m.syncTime_ = m.moduleTimeText();
                             m.syncMessage_ = "manual sync completed";
                             return envelope(0);
                         }}},
        {"get_sync_limit", {"POST", [](M& m, const Var&, const std::string&, const std::string&) {
                                auto data = newObject();
                                data->set("limit", m.settings_.syncLimit);
                                return envelope(0, data);
                            }}},
        {"get_result", {"GET", [](M& m, const Var&, const std::string&, const std::string&) {
                            return result(m);
                        }}},
        {"get_device_info", {"GET", [](M& m, const Var&, const std::string&, const std::string&) {
                                 return deviceInfo(m);
                             }}},
        {"get_extra_info", {"GET", [](M& m, const Var&, const std::string&, const std::string&) {
                                auto data = newObject();
                                const auto& s = m.settings_;
                                if (s.storeName) {
                                    data->set("store_name", *s.storeName);
                                }
                                if (s.storeId) {
                                    data->set("store_id", *s.storeId);
                                }
                                if (s.storeDep) {
                                    data->set("store_dep", *s.storeDep);
                                }
                                return envelope(0, data);
                            }}},
        {"get_calib", {"GET", [](M& m, const Var&, const std::string&, const std::string&) {
                           auto data = newObject();
                           const auto& c = m.settings_.calib;
                           data->set("left", c.left);
                           data->set("top", c.top);
                           data->set("width", c.width);
                           data->set("height", c.height);
                           return envelope(0, data);
                       }}},
        {"reset_device", {"POST", [](M& m, const Var&, const std::string&, const std::string&) {
                              // A settings reset: the learnt templates stay.
                              m.settings_ = M::Settings{};
                              m.syncMessage_ = "sync not configured";
                              return envelope(0);
                          }}},
        {"reboot", {"POST", [](M& m, const Var&, const std::string&, const std::string&) {
                        ++m.reboots_;
                        return envelope(0);
                    }}},
        {"enable_internet_once", {"POST", [](M& m, const Var&, const std::string&, const std::string&) {
                                      ++m.internetOnce_;
                                      return envelope(0);
                                  }}},
        {"get_learnmode", {"GET", [](M& m, const Var&, const std::string&, const std::string&) {
                               auto data = newObject();
                               data->set("mode", m.settings_.learnMode);
                               return envelope(0, data);
                           }}},
        {"get_board_info", {"GET", [](M& m, const Var&, const std::string&, const std::string&) {
                                return boardInfo(m);
                            }}},
        {"get_item_template_list", {"POST", [](M& m, const Var& body, const std::string&, const std::string&) {
                                        return templateList(m, body);
                                    }}},
        {"delete_item_template", {"POST", [](M& m, const Var& body, const std::string&, const std::string&) {
                                      return deleteTemplate(m, body);
                                  }}},
        {"set_sync_master", {"POST", [](M& m, const Var& body, const std::string&, const std::string&) {
                                 return setSync(m, body, "master");
                             }}},
        {"set_sync_slave", {"POST", [](M& m, const Var& body, const std::string&, const std::string&) {
                                return setSync(m, body, "slave");
                            }}},
        {"set_sync_normal", {"POST", [](M& m, const Var& body, const std::string&, const std::string&) {
                                 return setSync(m, body, "normal");
                             }}},
        {"get_sync_status", {"GET", [](M& m, const Var&, const std::string&, const std::string&) {
                                 auto data = newObject();
                                 data->set("count", m.syncCount_);
                                 data->set("message", m.syncMessage_);
                                 data->set("synctime", m.syncTime_);
                                 return envelope(0, data);
                             }}},
        {"set_sold_out_limit", {"POST", [](M& m, const Var& body, const std::string&, const std::string&) {
                                    m.settings_.soldOutLimit = requireInt(requireObject(body), "day", 0, 365);
                                    return envelope(0);
                                }}},
        {"set_time", {"POST", [](M& m, const Var& body, const std::string&, const std::string&) {
                          auto object = requireObject(body);
                          auto sec = requireInt(object, "sec", 0, std::numeric_limits<int>::max());
                          auto usec = requireInt(object, "usec", 0, 999999);
                          auto wanted = static_cast<std::int64_t>(sec) * 1000000 + usec;
                          m.clockOffsetUs_ = wanted - Poco::Timestamp().epochMicroseconds();
                          return envelope(0);
                      }}},
        {"set_extra_info", {"POST", [](M& m, const Var& body, const std::string&, const std::string&) {
                                auto object = requireObject(body);
                                auto name = optionalString(object, "store_name");
                                auto id = optionalString(object, "store_id");
                                auto dep = optionalString(object, "store_dep");
                                auto& s = m.settings_;
                                if (name) {
                                    s.storeName = name;
                                }
                                if (id) {
                                    s.storeId = id;
                                }
                                if (dep) {
                                    s.storeDep = dep;
                                }
                                return envelope(0);
                            }}},
        {"set_calib", {"POST", [](M& m, const Var& body, const std::string&, const std::string&) {
                           auto object = requireObject(body);
                           M::Calibration c;
                           c.left = requireInt(object, "left", 0, 4096);
                           c.top = requireInt(object, "top", 0, 4096);
                           c.width = requireInt(object, "width", 1, 4096);
                           c.height = requireInt(object, "height", 1, 4096);
                           m.settings_.calib = c;
                           return envelope(0);
                       }}},
        {"result_feedback", {"POST", [](M& m, const Var& body, const std::string&, const std::string&) {
                                 return feedback(m, body);
                             }}},
        {"set_sync_limit", {"POST", [](M& m, const Var& body, const std::string&, const std::string&) {
                                m.settings_.syncLimit = requireInt(requireObject(body), "limit", 1, 100);
                                return envelope(0);
                            }}},
        {"set_max_result", {"POST", [](M& m, const Var& body, const std::string&, const std::string&) {
                                m.settings_.maxResult = requireInt(requireObject(body), "num", 1, 20);
                                return envelope(0);
                            }}},
        {"set_learnmode", {"POST", [](M& m, const Var& body, const std::string&, const std::string&) {
                               m.settings_.learnMode = requireInt(requireObject(body), "mode", 0, 1);
                               return envelope(0);
                           }}},
        {"delete_item", {"POST", [](M& m, const Var& body, const std::string&, const std::string&) {
                             return deleteItem(m, body);
                         }}},
        {"set_predict_speed", {"POST", [](M& m, const Var& body, const std::string&, const std::string&) {
                                   auto speed = requireString(requireObject(body), "speed");
                                   if (speed.size() > 32) {
                                       throw Refusal(kParameterError, "\"speed\" too long");
                                   }
                                   m.settings_.predictSpeed = speed;
                                   return envelope(0);
                               }}},
        {"add_item_template", {"POST", [](M& m, const Var& body, const std::string&, const std::string&) {
                                   return addTemplate(m, body);
                               }}},
        {"export_template", {"POST", [](M& m, const Var& body, const std::string&, const std::string&) {
                                 return exportTemplate(m, body);
                             }}},
        {"export_template_status", {"GET", [](M& m, const Var&, const std::string&, const std::string&) {
                                        return exportStatus(m);
                                    }}},
        {"import_template", {"POST", [](M& m, const Var&, const std::string& type, const std::string& raw) {
                                 return upload(m, m.import_, m.failImport_, type, raw);
                             }}},
        {"import_template_status", {"GET", [](M& m, const Var&, const std::string&, const std::string&) {
                                        return importStatus(m);
                                    }}},
        {"offline_upgrade", {"POST", [](M& m, const Var&, const std::string& type, const std::string& raw) {
                                 return upload(m, m.upgrade_, m.failUpgrade_, type, raw);
                             }}},
        {"offline_upgrade_status", {"GET", [](M& m, const Var&, const std::string&, const std::string&) {
                                        return upgradeStatus(m);
                                    }}},
    };
    return commands;
}

ModuleState::ModuleState(ModuleOptions options)
    : options_(std::move(options)), random_(options_.seed ? *options_.seed : std::random_device{}()) {
    seedLocked();
}

std::optional<std::string> ModuleState::commandMethod(const std::string& command) {
    const auto& table = Commands::table();
    auto found = table.find(command);
    if (found == table.end()) {
        return std::nullopt;
    }
    return std::string(found->second.method);
}

Reply ModuleState::handle(const std::string& command, const std::string& contentType,
                          const std::string& body) {
    const auto& entry = Commands::table().at(command);
    const bool multipart = command == "import_template" || command == "offline_upgrade";
    Var parsed;
    const auto first = body.find_first_not_of(" \t\r\n");
    const auto last = body.find_last_not_of(" \t\r\n");
    // Commands without parameters get the JSON value null, which the parser does not take alone.
    const bool isNull = first != std::string::npos && body.compare(first, last - first + 1, "null") == 0;
    if (!multipart && !isNull && first != std::string::npos) {
        try {
            Poco::JSON::Parser parser;
            parsed = parser.parse(body);
        } catch (const std::exception&) {
            return envelope(kJsonParsingFailed);
        }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    settleJobsLocked();
    try {
        auto reply = entry.handler(*this, parsed, contentType, body);
        settleJobsLocked();
        return reply;
    } catch (const Refusal& refusal) {
        return envelope(refusal.code);
    } catch (const std::exception&) {
        // A value the JSON library cannot convert (a number beyond 64 bits, for one).
        return envelope(kParameterError);
    }
}

Reply ModuleState::download(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    settleJobsLocked();
    Reply reply;
    auto found = downloads_.find(name);
    if (found == downloads_.end()) {
        reply.status = 404;
        reply.contentType = "text/plain";
        reply.body = "Not Found";
        return reply;
    }
    reply.contentType = "application/octet-stream";
    reply.body = found->second;
    return reply;
}

void ModuleState::setJobFailures(bool exportFails, bool importFails, bool upgradeFails) {
    std::lock_guard<std::mutex> lock(mutex_);
    failExport_ = exportFails;
    failImport_ = importFails;
    failUpgrade_ = upgradeFails;
}

void ModuleState::reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    settings_ = Settings{};
    firmware_ = "1.12.3";
    clockOffsetUs_ = 0;
    syncCount_ = 0;
    syncTime_.clear();
    syncMessage_ = "sync not configured";
    reboots_ = 0;
    internetOnce_ = 0;
    lastFeedback_.reset();
    export_ = Job{};
    import_ = Job{};
    upgrade_ = Job{};
    exportCounter_ = 0;
    failExport_ = failImport_ = failUpgrade_ = false;
    lastImportResult_.clear();
    downloads_.clear();
    recentSessions_.clear();
    seedLocked();
}

void ModuleState::seedLocked() {
    templates_.clear();
    const std::pair<const char*, int> seeded[] = {
        {"1001", 3}, {"1002", 2}, {"1003", 4}, {"1004", 1}, {"1005", 2}, {"1006", 3}, {"1007", 1},
    };
    for (const auto& [id, count] : seeded) {
        auto& sids = templates_[id];
        for (int i = 0; i < count; ++i) {
            sids.push_back(newTemplateId(id));
        }
    }
}

int ModuleState::jobPhase(const Job& job, int phases) const {
    auto elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - job.startedAt).count();
    if (options_.jobSeconds <= 0.0) {
        return phases;
    }
    auto phase = static_cast<int>(elapsed / (options_.jobSeconds / phases));
    return std::min(phase, phases);
}

// Applies what a finished job leaves behind: the exported archive becomes downloadable,
// an imported package replaces the templates, an upgrade raises the firmware version.
void ModuleState::settleJobsLocked() {
    if (export_.started && !export_.settled && jobPhase(export_, 1) >= 1) {
        export_.settled = true;
        if (!export_.fails) {
            downloads_[export_.filename] = export_.payload;
        }
    }
    if (import_.started && !import_.settled && jobPhase(import_, 2) >= 2) {
        import_.settled = true;
        if (!import_.fails) {
            std::vector<std::string> packages;
            try {
                if (looksLikeZip(import_.payload)) {
                    for (auto& member : unzipMembers(import_.payload)) {
                        if (member.first.find(".evo") != std::string::npos) {
                            packages.push_back(std::move(member.second));
                        }
                    }
                } else {
                    packages.push_back(import_.payload);
                }
            } catch (const std::exception&) {
                packages.clear();
            }
            TemplateTable imported;
            bool any = false;
            for (const auto& package : packages) {
                TemplateTable one;
                if (readTemplatePackage(package, one)) {
                    any = true;
                    for (auto& [id, sids] : one) {
                        auto& target = imported[id];
                        target.insert(target.end(), sids.begin(), sids.end());
                    }
                }
            }
            if (any) {
                for (auto& [id, sids] : imported) {
                    auto& target = templates_[id];
                    for (auto& sid : sids) {
                        if (std::find(target.begin(), target.end(), sid) == target.end()) {
                            target.push_back(sid);
                        }
                    }
                }
                lastImportResult_ = "templates merged";
            } else {
                // A package of a format this module does not read is taken as opaque data.
                lastImportResult_ = "opaque package accepted";
            }
        }
    }
    if (upgrade_.started && !upgrade_.settled && jobPhase(upgrade_, 3) >= 3) {
        upgrade_.settled = true;
        if (!upgrade_.fails) {
            auto dot = firmware_.rfind('.');
            int patch = std::atoi(firmware_.c_str() + dot + 1);
            firmware_ = firmware_.substr(0, dot + 1) + std::to_string(patch + 1);
        }
    }
}

std::string ModuleState::moduleTimeText() const {
    Poco::Timestamp now(Poco::Timestamp().epochMicroseconds() + clockOffsetUs_);
    return Poco::DateTimeFormatter::format(now, "%Y-%m-%d %H:%M:%S");
}

std::string ModuleState::newSessionId() {
    char text[40];
    std::snprintf(text, sizeof(text), "%08llx%08x", static_cast<unsigned long long>(++sessionCounter_),
                  static_cast<unsigned>(random_()));
    return text;
}

std::string ModuleState::newTemplateId(const std::string& itemId) {
    return "tpl-" + itemId + "-" + std::to_string(++templateCounter_);
}

std::string ModuleState::snapshotJson() {
    std::lock_guard<std::mutex> lock(mutex_);
    settleJobsLocked();
    Object root(Poco::JSON_PRESERVE_KEY_ORDER);
    root.set("device_info", Commands::deviceInfoData(*this));
    auto calib = newObject();
    calib->set("left", settings_.calib.left);
    calib->set("top", settings_.calib.top);
    calib->set("width", settings_.calib.width);
    calib->set("height", settings_.calib.height);
    root.set("calib", calib);
    auto extra = newObject();
    extra->set("store_name", settings_.storeName ? Var(*settings_.storeName) : Var());
    extra->set("store_id", settings_.storeId ? Var(*settings_.storeId) : Var());
    extra->set("store_dep", settings_.storeDep ? Var(*settings_.storeDep) : Var());
    root.set("extra_info", extra);
    auto items = newObject();
    for (const auto& [id, sids] : templates_) {
        items->set(id, static_cast<int>(sids.size()));
    }
    root.set("items", items);
    root.set("module_time", moduleTimeText());

    auto jobs = newObject();
    const std::pair<const char*, Reply> statuses[] = {
        {"export", Commands::exportStatus(*this)},
        {"import", Commands::importStatus(*this)},
        {"upgrade", Commands::upgradeStatus(*this)},
    };
    for (const auto& [name, reply] : statuses) {
        Poco::JSON::Parser parser;
        auto status = parser.parse(reply.body).extract<Object::Ptr>();
        status->remove("code");
        status->remove("data");
        jobs->set(name, status);
    }
    auto failures = newObject();
    failures->set("export", failExport_);
    failures->set("import", failImport_);
    failures->set("upgrade", failUpgrade_);
    jobs->set("fail", failures);
    root.set("jobs", jobs);

    auto uploads = newObject();
    for (const auto& [name, job] :
         {std::pair<const char*, const Job*>{"import", &import_}, {"upgrade", &upgrade_}}) {
        if (!job->started) {
            uploads->set(name, Var());
            continue;
        }
        auto upload = newObject();
        upload->set("filename", job->uploadName);
        upload->set("size", static_cast<Poco::Int64>(job->payload.size()));
        uploads->set(name, upload);
    }
    root.set("uploads", uploads);
    root.set("last_import_result", lastImportResult_);

    Array::Ptr files = new Array;
    for (const auto& entry : downloads_) {
        files->add(entry.first);
    }
    root.set("downloads", files);
    if (lastFeedback_) {
        auto feedback = newObject();
        feedback->set("sid", lastFeedback_->sid);
        feedback->set("id", lastFeedback_->id);
        feedback->set("known_session", lastFeedback_->knownSession);
        feedback->set("learned", lastFeedback_->learned);
        root.set("last_feedback", feedback);
    } else {
        root.set("last_feedback", Var());
    }
    root.set("reboots", reboots_);
    root.set("internet_once", internetOnce_);
    return toJson(root);
}

}  // namespace orvix::modsim
