// The panel's messages without a server: what is accepted and refused, the console lines the
// requests become (read back through the console's own parser), the Origin check and the
// state changes.
#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <sstream>

#include "console.h"
#include "web_protocol.h"

namespace {

web_request parse_ok(const std::string &text) {
    web_request r;
    std::string error;
    EXPECT_TRUE(web_parse_request(text, &r, &error)) << text << ": " << error;
    return r;
}

TEST(WebProtocol, RefusesBadRequestsWithASentenceNamingWhatIsWrong) {
    struct Case {
        std::string text, says;
    };
    const Case cases[] = {
        {R"({"type":"function","fn":69,"on":true})", "'fn' must be a whole number from 0 to 68, not 69"},
        {R"({"type":"function","fn":-1,"on":true})", "'fn'"},
        {R"({"type":"function","fn":2.5,"on":true})", "'fn'"},
        {R"({"type":"function","fn":"2","on":true})", "'fn'"},
        {R"({"type":"function","fn":2})", "'on' must be true or false"},
        {R"({"type":"function","fn":2,"on":1})", "'on'"},
        {R"({"type":"speed","percent":101,"dir":"forward"})",
         "'percent' must be a whole number from 0 to 100"},
        {R"({"type":"speed","percent":-1,"dir":"forward"})", "'percent'"},
        {R"({"type":"speed","percent":10,"dir":"up"})", "'dir' must be \"forward\" or \"reverse\""},
        {R"({"type":"speed","percent":1e300,"dir":"forward"})", "'percent'"},
        {R"({"type":"cv_write","cv":512,"value":1})", "'cv' must be a whole number from 0 to 511"},
        {R"({"type":"cv_write","cv":3,"value":256})", "'value' must be a whole number from 0 to 255"},
        {R"({"type":"cv_write","cv":3,"value":-1})", "'value'"},
        {R"({"type":"cv_write","cv":3})", "'value'"},
        {R"({"type":"cv_read","cv":null})", "'cv'"},
        {R"({"type":"slot","slot":0})", "'slot' must be a whole number from 1 to 3"},
        {R"({"type":"slot","slot":4})", "'slot'"},
        {R"({"type":"audio"})", "'on'"},
        {R"({"type":"ping"})", "'t' must be a number"},
        {R"({"type":"reboot"})", "unknown request type \"reboot\""},
        {R"({"fn":1})", "no \"type\""},
        {R"({"type":7})", "no \"type\""},
        {R"([1,2,3])", "not a JSON object"},
        {"f1", "not a JSON object"},
        {R"({"type":"estop")", "not a JSON object"},
        {"", "not a JSON object"},
        {std::string(5000, ' ') + R"({"type":"estop"})", "too long"},
        {std::string(2000, '[') + std::string(2000, ']'), "not a JSON object"},
    };
    for (const Case &c : cases) {
        web_request r;
        std::string error;
        EXPECT_FALSE(web_parse_request(c.text, &r, &error)) << c.text.substr(0, 80);
        EXPECT_NE(error.find(c.says), std::string::npos) << c.text.substr(0, 80) << " -> " << error;
    }
}

TEST(WebProtocol, RequestsBecomeTheConsoleLinesThatDoWhatThePageAsked) {
    EXPECT_EQ(web_console_line(parse_ok(R"({"type":"estop"})")), "estop");
    EXPECT_EQ(web_console_line(parse_ok(R"({"type":"cv_write","cv":511,"value":255})")), "cv511=255");
    EXPECT_EQ(web_console_line(parse_ok(R"({"type":"cv_write","cv":0,"value":0})")), "cv0=0");
    EXPECT_EQ(web_console_line(parse_ok(R"({"type":"slot","slot":2})")), "cv202=2");
    EXPECT_EQ(web_console_line(parse_ok(R"({"type":"cv_read","cv":3})")), "");  // answered by the server
    // A key is toggled only when it is not in the state asked for.
    EXPECT_EQ(web_function_line(68, true, false), "f68");
    EXPECT_EQ(web_function_line(68, true, true), "");
    EXPECT_EQ(web_function_line(0, false, true), "f0");
    EXPECT_EQ(web_function_line(0, false, false), "");

    // Every speed in both directions, through the console's parser and back: the throttle the
    // page then shows is the one it set (reverse 0 % is a stop, not an emergency stop).
    for (int p = 0; p <= 100; p++) {
        for (const char *dir : {"forward", "reverse"}) {
            const web_request r =
                parse_ok(R"({"type":"speed","percent":)" + std::to_string(p) + R"(,"dir":")" + dir + "\"}");
            console_command cmd;
            ASSERT_TRUE(console_parse_line(web_console_line(r).c_str(), &cmd)) << web_console_line(r);
            ASSERT_EQ(cmd.kind, CONSOLE_SPEED);
            const web_throttle t = web_throttle_of(cmd.value);
            EXPECT_EQ(t.percent, p) << dir;
            EXPECT_EQ(t.reverse, dir[0] == 'r') << p;
            EXPECT_FALSE(t.estop) << p << dir;
        }
    }
    console_command cmd;
    ASSERT_TRUE(console_parse_line("estop", &cmd));
    EXPECT_TRUE(web_throttle_of(0).estop);
}

TEST(WebProtocol, OnlyThePanelsOwnPageMayConnect) {
    struct Case {
        const char *origin, *host;
        bool allowed;
    };
    const Case cases[] = {
        {"http://127.0.0.1:8080", "127.0.0.1:8080", true},
        {"http://localhost:8080", "localhost:8080", true},
        {"http://LocalHost:9000", "localhost:9000", true},  // a forwarded port, any case
        {"http://192.168.1.20:8080", "192.168.1.20:8080", true},
        {"http://[::1]:8080", "[::1]:8080", true},
        {"http://shed-pc:8080", "shed-pc:8080", true},  // the machine's own name
        {"http://127.0.0.1", "127.0.0.1", true},
        // Another site open in the same browser.
        {"http://evil.example", "127.0.0.1:8080", false},
        {"https://evil.example", "127.0.0.1:8080", false},
        {"null", "127.0.0.1:8080", false},
        {nullptr, "127.0.0.1:8080", false},
        {"http://127.0.0.1:8081", "127.0.0.1:8080", false},
        {"https://127.0.0.1:8080", "127.0.0.1:8080", false},
        {"http://127.0.0.1:8080/", "127.0.0.1:8080", false},
        {"http://127.0.0.1:8080", nullptr, false},
        {"http://", "", false},
        // A name of the attacker's pointed at this machine (DNS rebinding): origin and host agree,
        // but the name is not this machine's.
        {"http://evil.example:8080", "evil.example:8080", false},
        {"http://localhost.evil.example:8080", "localhost.evil.example:8080", false},
        {"http://127.0.0.1.evil.example:8080", "127.0.0.1.evil.example:8080", false},
        {"http://shed-pc.evil.example:8080", "shed-pc.evil.example:8080", false},
    };
    for (const Case &c : cases)
        EXPECT_EQ(web_origin_allowed(c.origin, c.host, "shed-pc"), c.allowed)
            << (c.origin ? c.origin : "(none)") << " asking " << (c.host ? c.host : "(none)");
    EXPECT_FALSE(web_origin_allowed("http://:8080", ":8080", ""));  // no machine name known
}

TEST(WebProtocol, ChangesCarryOnlyWhatChangedAndRebuildTheState) {
    const web_json before = {{"fn", {{"1", {0, 0}}, {"2", {1, 1}}}},
                             {"play", {{"7", {{"pos", 100}}}, {"9", {{"pos", 5}}}}},
                             {"gone", {{"a", 1}}}};
    const web_json after = {{"fn", {{"1", {1, 1}}, {"2", {1, 1}}}},
                            {"play", {{"7", {{"pos", 150}}}, {"12", {{"pos", 0}}}}},
                            {"slot", {{"id", 2}}}};
    const web_json delta = web_state_delta(before, after);
    const web_json expected = {{"fn", {{"1", {1, 1}}}},
                               {"play", {{"7", {{"pos", 150}}}, {"9", nullptr}, {"12", {{"pos", 0}}}}},
                               {"slot", {{"id", 2}}},
                               {"gone", {{"a", nullptr}}}};
    EXPECT_EQ(delta, expected) << delta.dump();
    EXPECT_TRUE(web_state_delta(after, after).empty());

    // Random states: the page's copy follows every change exactly.
    std::mt19937 rng(7);
    web_json page = web_json::object(), server = web_json::object();
    for (int step = 0; step < 300; step++) {
        web_json next = server;
        for (int k = 0; k < 5; k++) {
            const std::string section = "s" + std::to_string(rng() % 3), key = std::to_string(rng() % 6);
            if (rng() % 4 == 0) {
                if (next.contains(section)) next[section].erase(key);
            } else {
                next[section][key] = (int)(rng() % 3);
            }
        }
        const web_json d = web_state_delta(server, next);
        web_state_apply(page, d);
        server = next;
        // Sections left empty are kept by the page: compare what each key holds.
        web_json page_keys = page, server_keys = server;
        for (auto *j : {&page_keys, &server_keys})
            for (auto it = j->begin(); it != j->end();)
                it = it->empty() ? j->erase(it) : std::next(it);
        ASSERT_EQ(page_keys, server_keys) << "step " << step << " delta " << d.dump();
    }
}

// The page's table of the sound engine's CVs is the documentation's, row for row.
TEST(WebProtocol, ThePagesCvTableIsTheReadmes) {
    std::ifstream readme(std::string(TEST_SOURCE_DIR) + "/docs/sound-projects.md");
    std::stringstream text;
    text << readme.rdbuf();
    const std::string s = text.str();
    const size_t start = s.find("## CVs the sound engine reads");
    ASSERT_NE(start, std::string::npos);
    std::istringstream lines(s.substr(start, s.find("\n## ", start + 1) - start));
    web_json rows = web_json::array();
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("| ", 0) != 0 || line.rfind("| CV ", 0) == 0) continue;
        std::vector<std::string> cells;
        std::istringstream in(line.substr(1));
        for (std::string cell; std::getline(in, cell, '|');) {
            cell.erase(0, cell.find_first_not_of(' '));
            cell.erase(cell.find_last_not_of(' ') + 1);
            cells.push_back(cell);
        }
        ASSERT_GE(cells.size(), 3u) << line;
        web_json cvs = web_json::array();
        std::istringstream numbers(cells[0]);
        for (std::string n; std::getline(numbers, n, ',');)
            cvs.push_back(std::stoi(n));
        rows.push_back({{"cv", cvs}, {"default", cells[1]}, {"meaning", cells[2]}});
    }
    std::ifstream page(std::string(TEST_SOURCE_DIR) + "/web/cv_names.json");
    const web_json table = web_json::parse(page);
    EXPECT_EQ(table, rows)
        << "web/cv_names.json and the table of the sound engine's CVs in docs/sound-projects.md differ";
    EXPECT_GE(rows.size(), 10u);
}

}  // namespace
