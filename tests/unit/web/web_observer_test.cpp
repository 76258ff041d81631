// The panel on a running engine: the page's requests carried out through the console's entry
// points, and what the observer then shows of keys, tracks, outputs and speed, with only the
// changes travelling.
#include <fstream>

#include "decoder.h"
#include "engine_fixture.h"
#include "web_commands.h"
#include "web_observer.h"

namespace {

class WebPanel : public EngineTest {
protected:
    // Carries out a page's message as the server does; returns the answer (null for none).
    static web_json request(const std::string &text) {
        web_request r;
        std::string error;
        EXPECT_TRUE(web_parse_request(text, &r, &error)) << error;
        web_json reply;
        EXPECT_TRUE(web_execute(r, &reply)) << text;
        return reply;
    }
    // The sounding track of `file`, or null.
    static web_json playing(const web_json &state, const std::string &file) {
        for (const auto &[id, p] : state["play"].items())
            if (p["file"] == file) return p;
        return nullptr;
    }
};

TEST_F(WebPanel, KeysTracksOutputsAndSpeedAsThePageSeesThem) {
    write_tone("F2_ON.wav", 1.5, 440);
    write_tone("F2_LOOP.wav", 1.0, 550);
    write_tone("F2_OFF.wav", 0.4, 660);
    write_tone("F1_S0_LOOP.wav", 1.0);
    write_tone("F1_S30_LOOP.wav", 1.0);
    write_tone("F5.wav", 0.3);
    std::ofstream(slot_dir() / "functions.txt") << "1:Tester\nF2:8M:Horn_blast\nF9:1:Spare\nF70:1:Beyond\n";
    load();

    web_observer observer;
    const web_json s0 = observer.observe();
    EXPECT_EQ(s0["slot"]["id"], 1);
    EXPECT_EQ(s0["slot"]["state"], "loaded");
    EXPECT_EQ(s0["slot"]["vehicle"], "Tester");
    EXPECT_EQ(s0["keys"]["2"],
              (web_json{{"label", "Horn blast"}, {"sounds", "ON LOOP OFF"}, {"momentary", true}}));
    EXPECT_EQ(s0["keys"]["1"]["sounds"], "engine sound");
    EXPECT_EQ(s0["keys"]["5"]["sounds"], "once");
    EXPECT_EQ(s0["keys"]["9"], (web_json{{"label", "Spare"}, {"sounds", ""}, {"momentary", false}}));
    EXPECT_FALSE(s0["keys"].contains("3"));
    EXPECT_EQ(s0["fn"]["2"], (web_json{0, 0, 0, 0, 0}));
    EXPECT_TRUE(s0["play"].empty()) << s0["play"].dump();
    EXPECT_EQ(s0["out"]["3"][0], 0);

    // On, asked twice: a switch, not two toggles.
    EXPECT_TRUE(request(R"({"type":"function","fn":2,"on":true})").is_null());
    run_ms(100);
    request(R"({"type":"function","fn":2,"on":true})");
    run_ms(100);
    const web_json s1 = observer.observe();
    EXPECT_EQ(s1["fn"]["2"][0], 1);  // commanded
    EXPECT_EQ(s1["fn"]["2"][1], 1);  // on for outputs and sound
    EXPECT_EQ(s1["fn"]["2"][2], 1);  // on for the sound engine
    const web_json on = playing(s1, "F2_ON.wav");
    ASSERT_FALSE(on.is_null()) << s1["play"].dump();
    EXPECT_EQ(on["fn"], 2);
    EXPECT_EQ(on["role"], "ON");
    EXPECT_EQ(on["engine"], true);
    EXPECT_EQ(on["len"], 1500);
    // The reader's position, a buffer or two (64 ms each) ahead of what is heard.
    EXPECT_GE(on["pos"].get<int>(), 100);
    EXPECT_LE(on["pos"].get<int>(), 400);
    // F2 drives output 3 by the default mapping: its lamp lights.
    EXPECT_GT(s1["out"]["3"][0].get<int>(), 0) << s1["out"].dump();

    // Only what changed travels: the key, the new track, the lamp.
    const web_json delta = web_state_delta(s0, s1);
    EXPECT_EQ(delta["fn"].size(), 1u) << delta.dump();
    EXPECT_TRUE(delta["fn"].contains("2"));
    EXPECT_EQ(delta["play"].size(), 1u) << delta.dump();
    EXPECT_FALSE(delta.contains("keys"));
    EXPECT_FALSE(delta.contains("slot"));

    run_ms(1500);
    const web_json s2 = observer.observe();
    const web_json loop = playing(s2, "F2_LOOP.wav");
    ASSERT_FALSE(loop.is_null()) << s2["play"].dump();
    EXPECT_EQ(loop["role"], "LOOP");

    request(R"({"type":"function","fn":2,"on":false})");
    run_ms(50);
    const web_json s3 = observer.observe();
    EXPECT_EQ(s3["fn"]["2"][0], 0);
    const web_json fading = playing(s3, "F2_LOOP.wav");
    ASSERT_FALSE(fading.is_null()) << "the loop fades out over the fade time\n" << s3["play"].dump();
    EXPECT_EQ(fading["engine"], false);
    EXPECT_EQ(fading["fade"], "out");
    EXPECT_FALSE(playing(s3, "F2_OFF.wav").is_null()) << s3["play"].dump();
    run_ms(2000);
    EXPECT_TRUE(observer.observe()["play"].empty());

    // CVs: the answer is the value the decoder holds.
    EXPECT_EQ(request(R"({"type":"cv_write","cv":203,"value":100})"),
              (web_json{{"type", "cv"}, {"cv", 203}, {"value", 100}}));
    EXPECT_EQ(request(R"({"type":"cv_read","cv":203})")["value"], 100);
    request(R"({"type":"cv_write","cv":203,"value":255})");

    // Speed as the console passes it to the tick, read back as the page shows it.
    request(R"({"type":"speed","percent":40,"dir":"reverse"})");
    run_ms(50);
    web_json d = observer.observe()["drive"];
    EXPECT_EQ(d["throttle"], 40);
    EXPECT_EQ(d["reverse"], true);
    EXPECT_EQ(d["estop"], false);
    request(R"({"type":"estop"})");
    run_ms(50);
    d = observer.observe()["drive"];
    EXPECT_EQ(d["estop"], true);
    EXPECT_EQ(d["throttle"], 0);
    request(R"({"type":"speed","percent":0,"dir":"forward"})");
}

// A reload of the slot that is loaded rewrites its records in place: the panel still sees the
// new files.
TEST_F(WebPanel, AReloadOfTheSameSlotIsDescribedAnew) {
    write_tone("F3.wav", 0.3);
    load();
    web_observer observer;
    EXPECT_EQ(observer.observe()["keys"]["3"]["sounds"], "once");
    write_tone("F4_LOOP.wav", 1.0);
    request(R"({"type":"slot","slot":1})");
    ASSERT_TRUE(decoder_wait_loaded(5000000));
    const web_json s = observer.observe();
    EXPECT_EQ(s["slot"]["id"], 1);
    EXPECT_EQ(s["keys"]["4"]["sounds"], "LOOP") << s["keys"].dump();
}

}  // namespace
