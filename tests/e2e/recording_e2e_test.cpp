// A recording that cannot be written (a full disk) is an error naming the file and the reason:
// a render fails, a real-time run says so once and plays on.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <filesystem>
#include <string>
#include <vector>

#include "audio_files.h"
#include "render.h"

namespace {

TEST(Recording, AFullDiskIsAnErrorAndTheSoundGoesOn) {
    Project p;
    p.tone("F2_ON.wav", 3.0, 440);
    // In real time the key waits for the slot: pressed during the load, nothing would play.
    p.text("drive.txt", "wait 0.3\nm2\nwait 2\n");
    const std::string take = (p.path() / "take.wav").string(), script = (p.path() / "drive.txt").string();
    struct Case {
        std::vector<std::string> args;
        rlim_t size_limit;  // a file-size limit lets the header and the first second in
        std::string error;
        int status;
    };
    const std::string full = "/dev/full: No space left on device";
    for (const Case &c : {Case{{"--render", "/dev/full"}, RLIM_INFINITY, full, 2},
                          Case{{"--render", take}, 100000, take + ": File too large", 1},
                          Case{{"--no-sound", "--record", "/dev/full"}, RLIM_INFINITY, full, 1}}) {
        SCOPED_TRACE(c.args[1]);
        std::vector<std::string> args = {"--script", script};
        args.insert(args.end(), c.args.begin(), c.args.end());
        rlimit old, limit;
        getrlimit(RLIMIT_FSIZE, &old);
        limit = {c.size_limit, old.rlim_max};
        signal(SIGXFSZ, SIG_IGN);  // inherited: a write past the limit fails instead of killing
        setrlimit(RLIMIT_FSIZE, &limit);
        std::string out, err;
        const int status = run_emulator(p.path(), args, &out, &err);
        setrlimit(RLIMIT_FSIZE, &old);
        EXPECT_EQ(status, c.status) << out << err;
        EXPECT_NE(err.find("cannot write the recording " + c.error), std::string::npos) << err;
        const size_t logged =
            out.find("AUDIO_LL: Cannot write the recording " + c.error + "; recording stops");
        EXPECT_NE(logged, std::string::npos) << out;
        EXPECT_EQ(out.find("Cannot write the recording", out.find('\n', logged)), std::string::npos)
            << "said once\n"
            << out;
        if (c.size_limit != RLIM_INFINITY) {  // the header counts only what went in whole
            const test_support::WavData w = test_support::read_wav(take);
            EXPECT_TRUE(w.ok && w.data_size > 0 && w.data_size + 44 <= std::filesystem::file_size(take));
        }
        // The sound goes on after a failure; a render that cannot write at all does not start.
        EXPECT_EQ(out.find("Play ") != std::string::npos, c.status == 1) << out;
    }
}

}  // namespace
