// Throughput of the decoders and the reader, and the cost of one mixer cycle, each compared
// with what real time demands. sox decodes the same ADPCM file in the same run as a yardstick.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <semaphore>
#include <thread>
#include <vector>

#include "adpcm-lib.h"
#include "audio_ll.h"
#include "audio_reader.h"
#include "bench_util.h"
#include "esp_log.h"
#include "files.h"
#include "mixer.h"
#include "test_support.h"
#include "wav_header.h"

namespace {

constexpr int RATE = 32000;
constexpr double ADPCM_SECONDS = 300;  // long enough that sox's start-up is a small part
constexpr double READER_SECONDS = 60;

// The sound files of this run, made once.
struct Files {
    test_support::TempFolder dir;
    std::string adpcm_long = dir.file("long_adpcm.wav");
    std::string tiny = dir.file("tiny_adpcm.wav");
    std::string pcm = dir.file("pcm.wav");
    std::string adpcm = dir.file("adpcm.wav");
    std::string ogg = dir.file("vorbis.ogg");
    bool ok = bench::make_sound(adpcm_long, ADPCM_SECONDS, RATE, "adpcm") &&
              bench::make_sound(tiny, 0.01, RATE, "adpcm") &&
              bench::make_sound(pcm, READER_SECONDS, RATE, "pcm") &&
              bench::make_sound(adpcm, READER_SECONDS, RATE, "adpcm") &&
              bench::make_sound(ogg, READER_SECONDS, RATE, "ogg");
};

Files &files() {
    static Files f;
    return f;
}

std::vector<uint8_t> read_all(const std::string &path) {
    std::vector<uint8_t> v((size_t)bench::file_size(path));
    FILE *f = fopen(path.c_str(), "rb");
    if (f == nullptr || fread(v.data(), 1, v.size(), f) != v.size()) v.clear();
    if (f) fclose(f);
    return v;
}

// ---- IMA ADPCM: our decoder over the whole file in memory, in the reader's slice size ----
void BM_AdpcmDecode(benchmark::State &state) {
    if (!files().ok) return state.SkipWithError("sox could not make the test files");
    std::vector<uint8_t> file = read_all(files().adpcm_long);
    wav_info_t info = {};
    int off = get_wav_info(file.data(), (uint8_t)std::min<size_t>(file.size(), 255), &info);
    if (off < 0 || info.audioFormat != 0x11) return state.SkipWithError("not an IMA ADPCM file");
    const size_t data_len = std::min<size_t>(info.dataSize, file.size() - (size_t)off);
    constexpr uint16_t SLICE = 2048;  // frames: a 4096-byte mono buffer, as the reader asks
    std::vector<int16_t> out((SLICE + 8) * info.channels);
    int64_t frames = 0;
    for (auto _ : state) {
        const uint8_t *p = file.data() + off;
        size_t left = data_len;
        adcm_state_t st = {};
        while (left > 0) {
            int n = adpcm_decode_block(SLICE, out.data(), &p, &left, info.channels, info.blockAlign, &st);
            if (n <= 0) break;
            frames += n;
            benchmark::DoNotOptimize(out.data());
        }
    }
    state.SetBytesProcessed(frames * 2 * info.channels);
    state.counters["audio_s_per_s"] = benchmark::Counter((double)frames / RATE, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_AdpcmDecode)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0)->Repetitions(5);

// ---- sox decoding the same file to 16-bit samples, timed from outside the child ----
void sox_decode(benchmark::State &state, const std::string &path) {
    const std::string cmd = std::string(SOX_PATH) + " '" + path + "' -t s16 /dev/null";
    int64_t bytes = 0;
    const int64_t per_run = (int64_t)(bench::file_size(path) - 60) * 4;  // 4 bits in, 16 out
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        if (!bench::run(cmd)) return state.SkipWithError("sox failed");
        auto t1 = std::chrono::steady_clock::now();
        state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
        bytes += per_run;
    }
    state.SetBytesProcessed(bytes);
}
void BM_SoxAdpcmDecode(benchmark::State &state) {
    if (!files().ok) return state.SkipWithError("sox could not make the test files");
    sox_decode(state, files().adpcm_long);
}
BENCHMARK(BM_SoxAdpcmDecode)->Unit(benchmark::kMillisecond)->UseManualTime()->MinTime(1.0)->Repetitions(5);
// sox's start-up alone (a 10 ms file), to judge how much of the figure above it is.
void BM_SoxStartup(benchmark::State &state) {
    if (!files().ok) return state.SkipWithError("sox could not make the test files");
    sox_decode(state, files().tiny);
}
BENCHMARK(BM_SoxStartup)->Unit(benchmark::kMillisecond)->UseManualTime()->MinTime(0.5)->Repetitions(5);

// ---- a whole file through an audio reader, taken by a stand-in mixer as fast as it comes ----
// The consumer's wake-up: a buffer handed over (the reader's trace hook) or the play's end.
std::counting_semaphore<> &handed_over() {
    static std::counting_semaphore<> s(0);
    return s;
}

struct StopFlag {
    std::atomic<int> stops{0};
    static void notify(audio_reader_handle_t, void *p) {
        ((StopFlag *)p)->stops.fetch_add(1);
        handed_over().release();
    }
};

void on_handover(const audio_reader_trace_t *e) {
    if (e->kind == AUDIO_READER_TRACE_BUFFER) handed_over().release();
}

void reader_throughput(benchmark::State &state, const std::string &path) {
    if (!files().ok) return state.SkipWithError("sox could not make the test files");
    TimerPump pump;
    StopFlag flag;
    audio_reader_cfg_t cfg = {};
    cfg.task_prio = 8;
    cfg.buf_data_len = 4096;
    cfg.param = &flag;
    cfg.stop_notification = StopFlag::notify;
    audio_reader_handle_t r = audio_reader_init(&cfg, "wav0");
    audio_reader_set_trace_hook(on_handover);
    int64_t bytes = 0;
    double cpu = 0;
    for (auto _ : state) {
        state.PauseTiming();
        flag.stops.store(0);
        if (audio_reader_load(r, path.c_str(), nullptr, 100) != ESP_OK) {
            state.SkipWithError("the reader refused the file");
            break;
        }
        const double cpu0 = bench::process_cpu_seconds();
        state.ResumeTiming();
        audio_reader_play(r, false, 0, 0);
        for (;;) {
            buf_item_t b = audio_reader_get_data(r);
            if (b.data != nullptr) {
                bytes += b.len;
                free(b.data);
                continue;
            }
            if (flag.stops.load() > 0) break;
            // Waits for the next hand-over rather than polling the ready slot. A release left over
            // from a buffer already taken only makes one more look.
            handed_over().acquire();
        }
        buf_item_t last = audio_reader_get_data(r);
        bytes += last.len;
        free(last.data);
        state.PauseTiming();
        cpu += bench::process_cpu_seconds() - cpu0;
        audio_reader_unload(r);
        state.ResumeTiming();
    }
    audio_reader_set_trace_hook(nullptr);
    audio_reader_deinit(r);
    state.SetBytesProcessed(bytes);
    state.counters["audio_s_per_s"] =
        benchmark::Counter((double)bytes / 2 / RATE, benchmark::Counter::kIsRate);
    // CPU of both sides (the reader task and this consumer, which waits) per second of audio.
    state.counters["cpu_s_per_audio_s"] = bytes > 0 ? cpu / ((double)bytes / 2 / RATE) : 0;
}
void BM_ReaderPcm(benchmark::State &state) {
    reader_throughput(state, files().pcm);
}
void BM_ReaderAdpcm(benchmark::State &state) {
    reader_throughput(state, files().adpcm);
}
void BM_ReaderOgg(benchmark::State &state) {
    reader_throughput(state, files().ogg);
}
BENCHMARK(BM_ReaderPcm)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(0.5)->Repetitions(5);
BENCHMARK(BM_ReaderAdpcm)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(0.5)->Repetitions(5);
BENCHMARK(BM_ReaderOgg)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(0.5)->Repetitions(5);

// ---- one mixer cycle with N looping inputs ----
// The mixer writes to the no-device output, which paces it to real time: one cycle of 4096
// bytes is 64 ms of 32 kHz mono. Over a fixed stretch of wall time the CPU time of the mixer
// thread, and of the mixer plus its readers, divided by the cycles written, is the cost of one
// cycle; divided by 64 ms it is the share of the real-time budget.
void BM_MixerCycle(benchmark::State &state) {
    if (!files().ok) return state.SkipWithError("sox could not make the test files");
    const int inputs = (int)state.range(0);
    test_support::TempFolder dir;
    TimerPump pump;
    i2s_ll_set_no_device(true);
    i2s_ll_cfg_t icfg = {nullptr, 44100, 16, 2};
    i2s_ll_handle_t i2s = i2s_ll_init(&icfg);
    const std::string rec = dir.file("rec.wav");
    i2s_ll_record_start(rec.c_str());
    mixer_stream_cfg_t mcfg = {4096, 3072, 0, 10};
    mixer_handle_t m = mixer_init(&mcfg);
    mixer_set_i2s_handler(m, (mixer_handle_t)i2s);
    mixer_set_stream_info(m, RATE, 1);
    std::vector<audio_reader_handle_t> readers;
    for (int i = 0; i < inputs; i++) {
        audio_reader_cfg_t cfg = {};
        cfg.task_prio = 8;
        cfg.buf_data_len = 4096;
        audio_reader_handle_t r = audio_reader_init(&cfg, ("wav" + std::to_string(i)).c_str());
        audio_reader_load(r, files().adpcm.c_str(), nullptr, 100);
        mixer_connect_element(m, i, r);
        mixer_set_file_info(m, i, RATE, 1);
        audio_reader_play(r, true, 0, 0);
        readers.push_back(r);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // readers filled, mixer paced
    double mixer_cpu = 0, all_cpu = 0;
    long long cycles = 0;
    for (auto _ : state) {
        const long long b0 = bench::file_size(rec);
        const double m0 = bench::threads_cpu_seconds("mixer"), a0 = bench::process_cpu_seconds();
        auto t0 = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(8));
        const long long b1 = bench::file_size(rec);
        mixer_cpu += bench::threads_cpu_seconds("mixer") - m0;
        all_cpu += bench::process_cpu_seconds() - a0;
        cycles += (b1 - b0) / 4096;
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    }
    for (auto r : readers)
        audio_reader_stop(r, 0);
    mixer_deinit(m);
    i2s_ll_record_stop();
    for (auto r : readers)
        audio_reader_deinit(r);
    if (cycles == 0) return state.SkipWithError("the mixer wrote nothing");
    const double budget = 0.064;
    state.counters["cycles"] = (double)cycles;
    state.counters["mixer_ms_per_cycle"] = 1e3 * mixer_cpu / (double)cycles;
    state.counters["mixer_budget_pct"] = 100 * mixer_cpu / (double)cycles / budget;
    state.counters["all_ms_per_cycle"] = 1e3 * all_cpu / (double)cycles;
    state.counters["all_budget_pct"] = 100 * all_cpu / (double)cycles / budget;
}
BENCHMARK(BM_MixerCycle)
    ->Arg(1)
    ->Arg(16)
    ->Arg(100)
    ->Iterations(1)
    ->Repetitions(2)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char **argv) {
    esp_log_level_set("*", ESP_LOG_WARN);  // the readers' and the mixer's info lines are not wanted here
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
