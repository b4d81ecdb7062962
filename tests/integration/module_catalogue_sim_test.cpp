// Rows of the module-command catalogue run by name through a CommandCall against
// the module simulator, as the local routes and the remote command task run them:
// the envelope each answers, when the attributes are re-sent, and what the rows
// with database work leave in the context's database.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include <Poco/Data/Session.h>
#include <Poco/JSON/Object.h>

#include "driver.h"
#include "driver_bench.h"
#include "json_text.h"
#include "module_commands.h"
#include "module_sim_peer.h"
#include "queries.h"
#include "service_context.h"
#include "test_support.h"

namespace {

using namespace Poco::Data::Keywords;
using orvix::test::compact;
using orvix::test::parseObject;
using Poco::JSON::Object;
using velmora::Utils::CommandCall;
using velmora::Utils::CommandInput;
using velmora::Utils::findModuleCommand;

class CatalogueWithSimulator : public ::testing::Test {
protected:
    void SetUp() override {
        config_["product_prediction_data_folder_path"] = images();
        driver_ = orvix::test::makeDriver(database_, sim_.port());
    }

    std::string images() const { return dir_.file("images"); }

    // Runs the row `name` as a caller of the catalogue does; `attributeCalls`
    // counts the attributes-changed notifications.
    Object::Ptr run(const std::string& name, const std::string& body, int& attributeCalls,
                    const std::string* rawBody = nullptr, const std::string& delimiter = "") {
        const auto* row = findModuleCommand(name);
        if (row == nullptr) {
            throw std::invalid_argument("no row " + name);
        }
        CommandCall call{driver_, context_,  nullptr,
                         rawBody, delimiter, [&attributeCalls] { ++attributeCalls; }};
        if (row->input == CommandInput::JsonBody) {
            call.body = parseObject(body);
        }
        return row->run(call);
    }

    int count(const std::string& sql) {
        int n = 0;
        context_.withSession([&](Poco::Data::Session& session) { session << sql, into(n), now; });
        return n;
    }

    orvix::test::TempDir dir_;
    orvix::test::ModuleSimPeer sim_{dir_.path()};
    orvix::test::AgentDatabase database_;
    velmora::Engine::ConfigMap config_;
    velmora::Engine::ServiceContext context_{config_, database_.lock(), database_.db()};
    std::shared_ptr<velmora::Engine::Driver::OrvixDriver> driver_;
};

struct RowCase {
    const char* label;
    const char* name;
    const char* body;  // for JsonBody rows
    int code;          // the envelope's "code"
    int attributeCalls;
    const char* followUp;  // a row without input run afterwards, or ""
    const char* followUpAnswer;
};

void PrintTo(const RowCase& c, std::ostream* out) {
    *out << c.label;
}

class CatalogueRows : public CatalogueWithSimulator, public ::testing::WithParamInterface<RowCase> {};

TEST_P(CatalogueRows, AnswerAndAttributeNotification) {
    const RowCase& c = GetParam();
    int calls = 0;
    Object::Ptr answer = run(c.name, c.body, calls);
    EXPECT_EQ(answer->getValue<int>("code"), c.code) << compact(answer);
    EXPECT_EQ(calls, c.attributeCalls);
    if (*c.followUp != '\0') {
        int none = 0;
        EXPECT_EQ(compact(run(c.followUp, "", none)), c.followUpAnswer);
        EXPECT_EQ(none, 0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, CatalogueRows,
    ::testing::Values(RowCase{"SettingAccepted", "set_learnmode", R"({"mode":1})", 0, 1, "get_learnmode",
                              R"({"code":0,"data":{"mode":1}})"},
                      RowCase{"SettingGivenAsText", "set_sync_limit", R"({"limit":"25"})", 0, 1,
                              "get_sync_limit", R"({"code":0,"data":{"limit":25}})"},
                      RowCase{"SettingRefusedByTheModule", "set_learnmode", R"({"mode":5})", -6213, 0,
                              "get_learnmode", R"({"code":0,"data":{"mode":0}})"},
                      RowCase{"OtherSettingRefused", "set_max_result", R"({"num":0})", -6213, 0, "", ""},
                      RowCase{"NonAttributeSetting", "set_calib",
                              R"({"left":10,"top":20,"width":300,"height":200})", 0, 0, "get_calib",
                              R"({"code":0,"data":{"height":200,"left":10,"top":20,"width":300}})"},
                      RowCase{"ReadWithoutInput", "get_board_info", "", 0, 0, "", ""}),
    [](const ::testing::TestParamInfo<RowCase>& info) { return std::string(info.param.label); });

TEST_F(CatalogueWithSimulator, ResultAndFeedbackRowsUseTheContextsDatabaseAndConfiguration) {
    int calls = 0;
    Object::Ptr result = run("get_result", "", calls);
    ASSERT_EQ(result->getValue<int>("code"), 0) << compact(result);
    const std::string sid = result->getObject("data")->getValue<std::string>("sid");
    EXPECT_EQ(count("SELECT COUNT(*) FROM predictions"), 1);

    const std::string report = R"({"sid":")" + sid + R"(","id":"A1","method_of_selection":"recognition"})";
    Object::Ptr feedback = run("result_feedback", report, calls);
    EXPECT_EQ(compact(feedback), R"({"code":0,"data":null})");
    EXPECT_EQ(count("SELECT COUNT(*) FROM recognition_queue"), 1);
    EXPECT_EQ(count("SELECT COUNT(*) FROM predictions"), 0);
    // The picture went to the folder of the context's configuration.
    EXPECT_TRUE(std::filesystem::exists(images() + "/" + sid + ".jpg"));
    EXPECT_EQ(calls, 0);
}

TEST_F(CatalogueWithSimulator, UploadRowTakesTheRawBodyAndDelimiter) {
    const std::string boundary = "----catalogue7";
    const std::string package(2048, '\x5A');
    const std::string body = "--" + boundary +
                             "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"p.evo\"\r\n"
                             "Content-Type: application/octet-stream\r\n\r\n" +
                             package + "\r\n--" + boundary + "--\r\n";
    int calls = 0;
    EXPECT_EQ(compact(run("import_template", "", calls, &body, "--" + boundary)),
              R"({"code":0,"data":null})");
    Object::Ptr upload =
        parseObject(sim_.state())->getObject("module")->getObject("uploads")->getObject("import");
    ASSERT_FALSE(upload.isNull());
    EXPECT_EQ(upload->getValue<std::size_t>("size"), package.size());
}

}  // namespace
