// The firmware in this process, as the emulator runs it: slot loading (warm and cold page
// cache), one 100 ms sound tick and one 1 ms firmware tick while a drive sound runs.
#include <benchmark/benchmark.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include "audio_ll.h"
#include "bench_util.h"
#include "decoder.h"
#include "emulator.h"
#include "esp_log.h"
#include "files.h"
#include "freertos/task.h"
#include "sound_hl_private.h"
#include "test_support.h"

namespace fs = std::filesystem;

namespace {

constexpr int RATE = 32000;

// Runs the tick loop on a thread of its own while it lives, as the host's tick thread does.
class TickPump : public EveryMillisecond {
public:
    TickPump() : EveryMillisecond(vApplicationTickHook) {}
};

// Looks often: the time of a load is measured up to the moment the wait sees its end.
bool wait_loaded() {
    return decoder_wait_loaded(20 * 1000000LL, 100);
}

// The firmware started once in a scratch folder: slot 1 holds a speed-driven engine sound on F1,
// slot 2 a project of 100 audio files (69 loops on F0..F68 and 31 ON sounds on F0..F30). With
// exactly 100 files the scan logs "Only 100 files are supported" although none is left out.
struct Engine {
    test_support::TempFolder dir;
    bool ok = false;

    Engine() {
        fs::current_path(dir.path());
        fs::create_directories("data/1");
        fs::create_directories("data/2");
        const std::string d1 = dir.path().string() + "/data/1/", d2 = dir.path().string() + "/data/2/";
        ok = bench::make_sound(d1 + "F1_S0_LOOP.wav", 4, RATE, "adpcm") &&
             bench::make_sound(d1 + "F1_S20_LOOP.wav", 4, RATE, "adpcm") &&
             bench::make_sound(d1 + "F1_S50_LOOP.wav", 4, RATE, "adpcm") &&
             bench::make_sound(d1 + "F1_S20_ON.ogg", 2, RATE, "ogg") &&
             bench::make_sound(d1 + "F1_S20_OFF.ogg", 2, RATE, "ogg") &&
             bench::make_sound(dir.path().string() + "/loop.wav", 4, RATE, "adpcm") &&
             bench::make_sound(dir.path().string() + "/on.ogg", 2, RATE, "ogg");
        for (int f = 0; ok && f < 69; f++)
            fs::copy_file(dir.path().string() + "/loop.wav", d2 + "F" + std::to_string(f) + "_LOOP.wav");
        for (int f = 0; ok && f < 31; f++)
            fs::copy_file(dir.path().string() + "/on.ogg", d2 + "F" + std::to_string(f) + "_ON.ogg");
        i2s_ll_set_no_device(true);
        emulator_init();
        esp_log_level_set(
            "*", ESP_LOG_WARN);  // start-up sets the levels; the loader's per-file lines are not wanted
        TickPump pump;
        ok = ok && wait_loaded();
    }
};

Engine &engine() {
    static Engine e;
    return e;
}

// A slot switch as the command station asks for it (a CV 202 write): the folder is parsed.
void load_slot(benchmark::State &state, int slot) {
    decoder_switch_slot(slot);
    if (!wait_loaded() || decoder_slot_state() != SLOT_LOADED) state.SkipWithError("the slot did not load");
}

int tracks_loaded() {
    const auto records = std::make_unique<decoder_records>();
    decoder_copy_records(records.get());
    int n = 0;
    for (const track_rom_t &t : records->tracks)
        n += t.filepath[0] != 0 ? 1 : 0;
    return n;
}

void slot_load(benchmark::State &state, bool cold) {
    if (!engine().ok) return state.SkipWithError("could not prepare the firmware");
    if (cold && access("/proc/sys/vm/drop_caches", W_OK) != 0)
        return state.SkipWithError("cold runs drop the page cache, which needs root");
    TickPump pump;
    for (auto _ : state) {
        state.PauseTiming();
        load_slot(state, 1);  // another slot first, so that each load is a real switch
        if (cold) bench::run("sync; echo 3 > /proc/sys/vm/drop_caches");
        state.ResumeTiming();
        load_slot(state, 2);
    }
    state.counters["tracks"] = tracks_loaded();
}
void BM_SlotLoad100Warm(benchmark::State &state) {
    slot_load(state, false);
}
void BM_SlotLoad100Cold(benchmark::State &state) {
    slot_load(state, true);
}
BENCHMARK(BM_SlotLoad100Warm)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10)->Repetitions(3);
BENCHMARK(BM_SlotLoad100Cold)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1)->Repetitions(5);

// Slot 1 loaded, F1 on and the loco at 30 %, given time to start; the tick loop stopped.
bool drive_running(benchmark::State &state) {
    if (!engine().ok) {
        state.SkipWithError("could not prepare the firmware");
        return false;
    }
    TickPump pump;
    load_slot(state, 1);
    decoder_set_key(1, true);
    decoder_set_speed(31);  // 30 % forward
    std::this_thread::sleep_for(std::chrono::seconds(4));
    return true;
}

void BM_SoundTick(benchmark::State &state) {
    if (!drive_running(state)) return;
    for (auto _ : state)
        sound_tick_run_for_test();
}
BENCHMARK(BM_SoundTick)->Unit(benchmark::kMicrosecond)->Repetitions(3);

// Runs after the others: calling tick() back to back moves firmware time ahead of the clock.
void BM_FirmwareTick(benchmark::State &state) {
    if (!drive_running(state)) return;
    for (auto _ : state)
        tick();
}
BENCHMARK(BM_FirmwareTick)->Unit(benchmark::kMicrosecond)->Repetitions(3);

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
