// Drive scripts as users and careless tools write them: the lines that are refused name the
// file and the line, before anything runs; the line ends of any system play alike; a script
// from a FIFO is awaited with a word to the user.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <thread>

#include "emulator_process.h"

namespace {

int run_script(const TempFolder &dir, const std::string &script, std::string *out, std::string *err) {
    return run_emulator(dir.path(), {"--script", script, "--render", "r.wav"}, out, err,
                        std::chrono::seconds(20));
}

TEST(Script, RefusedLinesAndLineEnds) {
    TempFolder dir;
    struct Case {
        std::string script;  // empty: read /dev/zero
        int status;
        std::string says;  // on standard error, or with status 0 in the log
    } cases[] = {
        {std::string("f1\0garbage\n", 11), 2, "drive.txt:1: the line holds a NUL byte"},
        {"wait 0x10\n", 2, "drive.txt:1: 'wait 0x10': wait needs a decimal number"},
        {"wait 1e3\n", 2, "'wait 1e3': wait needs a decimal number"},
        {"f1\n" + std::string(1001, 'x') + "\n", 2, "drive.txt:2: the line is too long"},
        {"", 2, "/dev/zero:1: the line is too long"},
        {"f1\nbad\x1b]0;title\x07\n", 2, "drive.txt:2: 'bad\\x1b]0;title\\x07' is not a console command"},
        {"wait .5\rcv3=7\r\ncv3?\rwait 0.1\n", 0, "DCC_HL: CV3=7"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.says);
        dir.write("drive.txt", c.script);
        std::string out, err;
        EXPECT_EQ(run_script(dir, c.script.empty() ? "/dev/zero" : "drive.txt", &out, &err), c.status);
        EXPECT_NE((c.status == 0 ? out : err).find(c.says), std::string::npos) << err;
        EXPECT_EQ(err.find('\x1b'), std::string::npos) << err;
    }
}

TEST(Script, AFifoIsAwaitedWithANote) {
    TempFolder dir;
    ASSERT_EQ(mkfifo(dir.file("drive").c_str(), 0600), 0);
    std::thread writer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        std::ofstream(dir.file("drive")) << "cv3=9\ncv3?\nwait 0.1\n";
    });
    std::string out, err;
    EXPECT_EQ(run_script(dir, "drive", &out, &err), 0);
    writer.join();
    EXPECT_NE(err.find("waiting for a program to write the script into the FIFO drive"), std::string::npos)
        << err;
    EXPECT_NE(out.find("DCC_HL: CV3=9"), std::string::npos) << out;
}

}  // namespace
