// docs/rest-api.md is the REST reference: every route has a section, and each example answer in
// it is what the route answers to the example request, against the registry set up here.
#include "web_test_fixture.hpp"

#include "storage/app_settings.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cctype>
#include <cstddef>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace pellan {
namespace {

/// One ```http block of the document: its first line, its header lines and its body.
struct HttpBlock {
    std::size_t line = 0;  // In the document, for messages.
    std::string startLine;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
};

/// A documented request and the answer documented for it.
struct Example {
    HttpBlock request;
    HttpBlock answer;
};

std::string readDocument() {
    std::ifstream in(PELLAN_REST_API_DOC);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

HttpBlock parseBlock(const std::vector<std::string>& lines, std::size_t first, std::size_t end) {
    HttpBlock block;
    block.line = first;
    block.startLine = lines.at(first);
    std::size_t i = first + 1;
    for (; i < end && !lines[i].empty(); ++i) {
        const auto colon = lines[i].find(':');
        const auto valueStart = lines[i].find_first_not_of(' ', colon + 1);
        block.headers.emplace_back(lines[i].substr(0, colon), valueStart == std::string::npos
                                                                  ? ""
                                                                  : lines[i].substr(valueStart));
    }
    for (++i; i < end; ++i) {
        block.body += lines[i];
        if (i + 1 < end) {
            block.body += '\n';
        }
    }
    return block;
}

/// The ```http blocks in pairs, request then answer; the "## METHOD pattern" headings.
void parseDocument(const std::string& text, std::vector<Example>& examples,
                   std::vector<std::string>& headings) {
    const auto lines = splitLines(text);
    std::vector<HttpBlock> blocks;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].starts_with("## ")) {
            headings.push_back(lines[i].substr(3));
        }
        if (lines[i] != "```http") {
            continue;
        }
        std::size_t end = i + 1;
        while (end < lines.size() && lines[end] != "```") {
            ++end;
        }
        blocks.push_back(parseBlock(lines, i + 1, end));
        i = end;
    }
    ASSERT_EQ(blocks.size() % 2, 0U) << "every example request needs its answer";
    for (std::size_t i = 0; i + 1 < blocks.size(); i += 2) {
        examples.push_back({blocks[i], blocks[i + 1]});
    }
}

/// The log records' times differ from run to run: the documented one stands for any time of
/// the same shape (digits where it has digits).
bool sameShape(const std::string& documented, const std::string& actual) {
    if (documented.size() != actual.size()) {
        return false;
    }
    for (std::size_t i = 0; i < documented.size(); ++i) {
        const bool digit = std::isdigit(static_cast<unsigned char>(documented[i])) != 0;
        if (digit ? std::isdigit(static_cast<unsigned char>(actual[i])) == 0
                  : documented[i] != actual[i]) {
            return false;
        }
    }
    return true;
}

/// `actual` with each "timestamp" string of the same shape as the documented one replaced by
/// the documented one.
nlohmann::json withDocumentedTimes(nlohmann::json actual, const nlohmann::json& documented) {
    if (actual.is_array() && documented.is_array() && actual.size() == documented.size()) {
        for (std::size_t i = 0; i < actual.size(); ++i) {
            actual[i] = withDocumentedTimes(actual[i], documented[i]);
        }
    } else if (actual.is_object() && documented.is_object()) {
        for (auto& [key, value] : actual.items()) {
            if (!documented.contains(key)) {
                continue;
            }
            const auto& expected = documented.at(key);
            if (key == "timestamp" && value.is_string() && expected.is_string() &&
                sameShape(expected.get<std::string>(), value.get<std::string>())) {
                value = expected;
            } else {
                value = withDocumentedTimes(value, expected);
            }
        }
    }
    return actual;
}

class RestApiDocTest : public test::WebServerFixture {
protected:
    /// The registry, groups and log every example starts from, as the document describes them.
    void startFromTheDocumentedState() {
        stopWeb();
        for (const DeviceEntry& entry : devices.listDevices()) {
            devices.removeDevice(entry.hostname);
        }
        for (const std::string& name : groups.groupOrder()) {
            groups.deleteGroup(name);
        }
        settings.apply(AppSettings{});
        for (const auto& file : {paths.appSettingsFile, paths.devicesStateFile,
                                 paths.groupsStateFile, paths.tileSettingsFile}) {
            std::filesystem::remove_all(file);
        }
        test::writeFile(paths.uiRoot / "index.html",
                        "<!doctype html><title>Vantrel Pellan</title>");

        DeviceEntry panel;
        panel.hostname = "TRQ-PN4-1";
        panel.ip = "198.18.0.11";
        panel.danteName = "Studio-A-Panel";
        panel.friendlyName = "Studio A panel";
        devices.addOrUpdateDevice(panel);
        devices.setMonitored(panel.hostname, true);
        DeviceEntry rack;
        rack.hostname = "TRQ-RK1-2";
        rack.ip = "198.18.0.12";
        devices.addOrUpdateDevice(rack);
        groups.createGroup("Studio-A");
        groups.addDeviceToGroup("Studio-A", panel.hostname);
        logger.log("Device added: TRQ-PN4-1", "device");
        logger.log("Added TRQ-PN4-1 - 198.18.0.11 for monitoring", "monitor");
        startWeb();
        ASSERT_NE(port, 0);
    }
};

TEST_F(RestApiDocTest, EveryRouteHasASectionAndEveryExampleIsWhatTheRouteAnswers) {
    const std::string text = readDocument();
    ASSERT_FALSE(text.empty()) << PELLAN_REST_API_DOC;
    std::vector<Example> examples;
    std::vector<std::string> headings;
    parseDocument(text, examples, headings);

    // The sections follow the routes' matching order.
    std::vector<std::string> routeHeadings;
    for (const RouteKey& route : web->routes()) {
        routeHeadings.push_back(std::string(httpMethodName(route.method)) + " " + route.pattern);
    }
    std::vector<std::string> documented;
    for (const std::string& heading : headings) {
        if (heading.find(' ') != std::string::npos && heading.find('/') != std::string::npos) {
            documented.push_back(heading);
        }
    }
    EXPECT_EQ(documented, routeHeadings);

    ASSERT_FALSE(examples.empty());
    for (const Example& example : examples) {
        SCOPED_TRACE("docs/rest-api.md line " + std::to_string(example.request.line + 1) + ": " +
                     example.request.startLine);
        startFromTheDocumentedState();
        std::istringstream requestLine(example.request.startLine);
        std::string method;
        std::string target;
        requestLine >> method >> target;
        std::string headers;
        for (const auto& [name, value] : example.request.headers) {
            headers += name + ": " + value + "\r\n";
        }
        const test::RawResponse response = call(method, target, example.request.body, headers);

        std::istringstream statusLine(example.answer.startLine);
        std::string version;
        int status = 0;
        statusLine >> version >> status;
        EXPECT_EQ(response.status, status);
        for (const auto& [name, value] : example.answer.headers) {
            const std::string* actual = response.header(name);
            EXPECT_TRUE(actual != nullptr && *actual == value) << name << ": " << value;
        }
        if (example.answer.headers.empty()) {
            EXPECT_EQ(response.header("Content-Type"), nullptr);
        }
        const auto documentedJson =
            nlohmann::json::parse(example.answer.body, nullptr, /*allow_exceptions=*/false);
        auto actualJson = nlohmann::json::parse(response.body, nullptr, false);
        if (target == "/api/logs" && actualJson.is_array() && documentedJson.is_array() &&
            actualJson.size() >= documentedJson.size()) {
            // The log also holds the records of the examples before: the documented ones are
            // the newest.
            actualJson.erase(actualJson.begin(),
                             actualJson.end() - static_cast<std::ptrdiff_t>(documentedJson.size()));
        }
        if (!example.answer.body.empty() && !documentedJson.is_discarded()) {
            EXPECT_EQ(withDocumentedTimes(actualJson, documentedJson), documentedJson)
                << response.body;
        } else {
            EXPECT_EQ(response.body, example.answer.body);
        }
    }
}

}  // namespace
}  // namespace pellan
