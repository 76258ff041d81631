// The four text files of a slot folder: functions, logic, CV and mapping.
#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "file_io.h"
#include "files.h"
#include "memory.h"
#include "slot_tables.h"
#include "test_support.h"

namespace {

using namespace test_support;

// ---------------------------------------------------------------- functions file

TEST(FunctionsFile, ReadsTypeNameAndFunctionCodes) {
    WorkFolder dir;
    write_file("functions.txt",
               "# vehicle\n"
               "2:Shunter\r\n"
               "F0:1:Light\n"
               "F1:8M:Horn\n"
               "F2:M:Bell\n"
               "F3:5:Old\n"
               "F3:7:New\n"      // the last line for a function wins
               "F4:70000:Big\n"  // does not fit 16 bits: no code
               "F5:-1:Neg\n"     // negative: no code
               "F68:3:Last\n"
               "F69:1:X\n"              // beyond F68: ignored
               "F-1:1:X\n"              // ignored
               "F99999999999999:1:X\n"  // ignored, no overflow
               "F6:5\n"                 // two fields only
               "F7:12345678:X\n"        // code longer than 7 characters
               "F8::X\n"                // empty code
               "Fx:1:X\n"               // no number
               "\n"
               "300:TooBig\n"  // type does not fit: line does not match
               "F9:2:" +
                   std::string(200, 'n') + "\n");  // longer than the line buffer
    loco_info_t info;
    memset(&info, 0xEE, sizeof info);
    LogCapture log;
    parseFunctionsFile("functions.txt", &info);
    EXPECT_TRUE(log.contains("I (") && log.contains("FILE_IO: Parsing functions file")) << log.dump();
    EXPECT_EQ(info.type, 2);
    EXPECT_STREQ(info.name, "Shunter");
    EXPECT_TRUE(log.contains("FILE_IO: Loaded loco info Name='Shunter'"));
    EXPECT_EQ(info.functions[0], 1);
    EXPECT_EQ(info.functions[1], 0x1008);
    EXPECT_EQ(info.functions[2], 0x1000);
    EXPECT_EQ(info.functions[3], 7);
    EXPECT_EQ(info.functions[4], 0);
    EXPECT_EQ(info.functions[5], 0);
    EXPECT_EQ(info.functions[68], 3);
    EXPECT_EQ(info.functions[9], 2);
    EXPECT_EQ(log.count("E ("), 4) << log.dump();
    for (const char *bad : {"F6:5", "F7:12345678:X", "F8::X", "Fx:1:X"}) {
        EXPECT_EQ(log.count(std::string("FILE_IO: Scanf error line='") + bad + "'"), 1) << bad;
    }
    EXPECT_FALSE(log.contains("F69:1:X"));
    // The rest of the over-long line is read as a line of its own: no type line, no harm.
    EXPECT_EQ(info.type, 2);
}

TEST(FunctionsFile, WithoutTypeLineTheTypeIsZeroAndMissingFileLeavesInfoAlone) {
    WorkFolder dir;
    write_file("functions.txt", "F1:8:Horn\n7 not a type line\n:x\n");
    loco_info_t info;
    memset(&info, 0xEE, sizeof info);
    info.type = 255;
    parseFunctionsFile("functions.txt", &info);
    EXPECT_EQ(info.type, 0);
    EXPECT_EQ(info.name[0], 0);
    EXPECT_EQ(info.functions[1], 8);
    EXPECT_EQ(info.functions[2], 0);

    // Names stop at a blank and at 31 characters; the last type line wins.
    write_file("functions.txt", "1:First\n3:Two words\n4:" + std::string(40, 'L') + "\n");
    parseFunctionsFile("functions.txt", &info);
    EXPECT_EQ(info.type, 4);
    EXPECT_EQ(std::string(info.name), std::string(31, 'L'));

    loco_info_t untouched;
    memset(&untouched, 0xEE, sizeof untouched);
    LogCapture log;
    parseFunctionsFile("missing.txt", &untouched);
    EXPECT_TRUE(log.contains("E (") && log.contains("FILE_IO: Could not open file missing.txt"));
    EXPECT_EQ(untouched.type, 0xEE);
}

// ---------------------------------------------------------------- logic lines

// Parses `line` into a record whose description starts filled with 0x77; the parser's result.
int parse_logic(const char *line, logic_condition_rom_t *rom) {
    memset(rom, 0x77, sizeof *rom);
    logic_condition_t item{};
    item.rom = rom;
    std::string s = line;
    return parseLogicLine(s.data(), &item);
}

struct LogicCase {
    const char *line;
    int result;
    logic_type_t type;
    int func_id, trigger_id, flags;
    uint32_t delay;
    int32_t duration;
    uint16_t param, param2;
    const char *message;  // a log text the line must produce, or ""
};

TEST(LogicLine, GrammarKindsSwapsDefaultsAndRejections) {
    const LogicCase cases[] = {
        // line                          res type                 func trig fl delay dur  param  p2  message
        {"F5_F3_OFF_L2000", 0, LOGIC_REPEATS_OFF, 5, 3, 3, 0, 2000, 1, 0, ""},
        {"F7_BLOCK_F2", 0, LOGIC_BLOCK, 2, 7, 3, 0, 0, 0xFFFF, 0, ""},
        {"F4_DIM_O2_V50", 0, LOGIC_DIMM_OUTPUT, 2, 4, 3, 0, 0, 50, 0, ""},
        {"F4_DIM_F6_V50", 0, LOGIC_DIMM, 6, 4, 3, 0, 0, 50, 0, ""},
        {"F6_ON_F1_LON", 0, LOGIC_REPEATS_ON, 6, 1, 3, 0, 0, 1, 0, ""},
        {"F5_OFF_LOFF", 0, LOGIC_REPEATS_OFF, 5, -1, 3, 0, -1, 1, 0, ""},
        {"F9_ONOFF_F2_L100_R4", 0, LOGIC_REPEATS_BOTH, 9, 2, 3, 0, 100, 4, 0, ""},
        {"F1_I4_L100", 0, LOGIC_REPEATS_ON, 1, 103, 3, 0, 100, 1, 0, ""},
        {"I2_F3_ON_L500", 0, LOGIC_REPEATS_ON, 101, 3, 3, 0, 500, 1, 0, ""},
        {"I_ON_F3_L5", 0, LOGIC_REPEATS_ON, 99, 3, 3, 0, 5, 1, 0, ""},
        {"F2_START_L100_INSTOP", 0, LOGIC_START, 2, -1, 1, 0, 100, 1, 0, ""},
        {"F2_STOP_L100_INMOVE_R5", 0, LOGIC_STOP, 2, -1, 2, 0, 100, 5, 0, ""},
        {"F2_ESTOP_L1_INSTOP_INMOVE", 0, LOGIC_ESTOP, 2, -1, 3, 0, 1, 1, 0, ""},
        {"F9_ACC_L100_E3", 0, LOGIC_ACCEL, 9, -1, 3, 0, 100, 0, 3, ""},
        {"F9_DCL_L100_K4", 0, LOGIC_DECEL, 9, -1, 3, 0, 100, 0, 4, ""},
        {"F9_ACCDCL_L100", 0, LOGIC_ACCDCL, 9, -1, 3, 0, 100, 0, 0, ""},
        {"F9_BLOCKDRV", 0, LOGIC_BLOCK_DRV, 9, -1, 3, 0, 0, 0xFFFF, 0, ""},
        {"F9_VOL_F10_V30", 0, LOGIC_VOLUME, 10, 9, 3, 0, 0, 30, 0, ""},
        {"F9_VOLSPD_V30_E5", 0, LOGIC_VOLUME_SPD, 9, -1, 3, 0, 0, 30, 5, ""},
        {"F9_VOLLOAD_V20", 0, LOGIC_VOLUME_LOAD, 9, -1, 3, 0, 0, 20, 0, ""},
        {"F9_SPD_S40", 0, LOGIC_SPD, 9, -1, 3, 0, 0, 40, 0, ""},
        {"F9_LOAD_S40", 0, LOGIC_LOAD, 9, -1, 3, 0, 0, 40, 0, ""},
        {"F9_MINLOAD_F3_V20", 0, LOGIC_MIN_LOAD, 3, 9, 3, 0, 0, 20, 0, ""},
        {"F9_DIMOUT_V10", 0, LOGIC_DIMM_OUTPUT, -1, 9, 3, 0, 0, 10, 0, ""},
        {"F9_RANDOM_L1000_D500_R3", 0, LOGIC_RANDOM, 9, -1, 3, 500, 1000, 3, 0, ""},
        {"F9_TOGETHER_F3", 0, LOGIC_TOGETHER, 3, 9, 3, 0, 0, 0xFFFF, 0, ""},
        {"F9_FAN_S2", 0, LOGIC_FAN, 9, -1, 3, 0, 0, 2, 0, ""},
        {"F9_OFF_ON_L1", 0, LOGIC_REPEATS_ON, 9, -1, 3, 0, 1, 1, 0, ""},  // later keyword wins
        // Numbers that do not fit their field are absent.
        {"F5_F3_OFF_L2000_D-1", 0, LOGIC_REPEATS_OFF, 5, 3, 3, 0, 2000, 1, 0, ""},
        {"F5_OFF_LOFF_R70000_E-3", 0, LOGIC_REPEATS_OFF, 5, -1, 3, 0, -1, 1, 0, ""},
        {"F5_OFF_LOFF_F200", 0, LOGIC_REPEATS_OFF, 5, -1, 3, 0, -1, 1, 0, ""},
        {"F5_OFF_LOFF_I29", 0, LOGIC_REPEATS_OFF, 5, -1, 3, 0, -1, 1, 0, ""},
        {"F5_OFF_L99999999999", -1, LOGIC_NONE, 5, -1, 3, 0, 0, 1, 0,
         "Function duration is 0 in logic condition F5"},
        // Rejections.
        {"F6_ON_F1", -1, LOGIC_NONE, 6, 1, 3, 0, 0, 1, 0, "Function duration is 0 in logic condition F6"},
        {"F5_OFF", -1, LOGIC_NONE, 5, -1, 3, 0, 0, 1, 0, "Function duration is 0 in logic condition F5"},
        {"F5_OFF_L0", -1, LOGIC_NONE, 5, -1, 3, 0, 0, 1, 0, "Function duration is 0 in logic condition F5"},
        {"F9_ACC", -1, LOGIC_NONE, 9, -1, 3, 0, 0, 0, 0, "Function duration is 0 in logic condition F9"},
        {"F5_F5_ON_L100", -1, LOGIC_NONE, 5, 5, 3, 0, 100, 1, 0,
         "Function id and trigger id could not be the same in logic condition F5"},
        {"F3_O2_V10", -1, LOGIC_NONE, 3, -1, 3, 0, 0, 10, 0, "Unknown parameter 'O' for type \n"},
        {"F3_L100", -1, LOGIC_NONE, 3, -1, 3, 0, 100, 0, 0, "Type is not defined in logic condition F3"},
        // Every "_" separates: an empty token is the empty keyword, i.e. no kind.
        {"F5_OFF__L100", -1, LOGIC_NONE, 5, -1, 3, 0, 100, 0, 0, "Type is not defined in logic condition F5"},
    };
    for (const LogicCase &c : cases) {
        SCOPED_TRACE(c.line);
        logic_condition_rom_t rom;
        LogCapture log;
        EXPECT_EQ(parse_logic(c.line, &rom), c.result) << log.dump();
        EXPECT_EQ(
            std::tuple(rom.type, rom.func_id, rom.trigger_id, rom.flags, rom.delay_ms, rom.duration_ms,
                       rom.param, rom.param2),
            std::tuple(c.type, c.func_id, c.trigger_id, c.flags, c.delay, c.duration, c.param, c.param2));
        if (c.message[0] != 0) {
            // The capture drops the newline; match the empty keyword at the end of its line.
            std::string m = c.message;
            bool at_end = m.back() == '\n';
            if (at_end) m.pop_back();
            bool found = false;
            for (auto &l : log.lines()) {
                size_t pos = l.find(m);
                if (pos != std::string::npos && (!at_end || pos + m.size() == l.size())) found = true;
            }
            EXPECT_TRUE(found) << log.dump();
        } else {
            EXPECT_EQ(log.lines().size(), 0u) << log.dump();
        }
    }
}

TEST(LogicLine, LinesWithoutFunctionLeaveTheRecordAlone) {
    for (const char *line :
         {"X5_ON_L100", "", "_F5_ON", "f5_ON_L100", "F200_ON_L100", "I29_ON_L100", "F-1_ON_L1"}) {
        SCOPED_TRACE(line);
        logic_condition_rom_t rom;
        LogCapture log;
        EXPECT_EQ(parse_logic(line, &rom), -1);
        std::string first = std::string(line).substr(0, std::string(line).find('_'));
        EXPECT_TRUE(log.contains("W (") && log.contains("FILE_IO: Function is not defined in " + first))
            << log.dump();
        logic_condition_rom_t marker;
        memset(&marker, 0x77, sizeof marker);
        EXPECT_EQ(memcmp(&rom, &marker, sizeof rom), 0);
    }
}

// ---------------------------------------------------------------- logic file

TEST(LogicFile, FillsSlotsInOrderUpToThirtyTwo) {
    WorkFolder dir;
    std::string text = "\r\nF1_BAD\r\n";  // an empty line and a rejected one take no slot
    for (int k = 0; k < 34; k++)
        text += "F1_F" + std::to_string(k + 2) + "_ON_L100\r\n";
    write_file("logic.txt", text);
    LogicTable t;
    LogCapture log;
    parseLogicFile("logic.txt", t.items);
    EXPECT_TRUE(log.contains("FILE_IO: Parsing logic file"));
    EXPECT_EQ(log.count("FILE_IO: Only 32 logic conditions are allowed"), 1);
    for (int k = 0; k < MAX_LOGICS; k++) {
        EXPECT_EQ(t.rom[k].type, LOGIC_REPEATS_ON) << k;
        EXPECT_EQ(t.rom[k].trigger_id, k + 2) << k;
    }
    EXPECT_EQ(log.count("Type is not defined in logic condition F1"), 1);

    // A line longer than the buffer is read as two lines, the second of which has no function;
    // exactly 32 conditions still report the limit.
    text = "F2_F40_ON_L7_" + std::string(150, 'x') + "\n";
    for (int k = 0; k < 31; k++)
        text += "F2_F" + std::to_string(k + 3) + "_OFF_LOFF\n";
    write_file("logic.txt", text);
    LogicTable u;
    log.clear();
    parseLogicFile("logic.txt", u.items);
    EXPECT_EQ(log.count("Function is not defined in " + std::string(64, 'x')), 1) << log.dump();
    EXPECT_EQ(log.count("Only 32 logic conditions are allowed"), 1);
    EXPECT_EQ(u.rom[0].trigger_id, 40);
    EXPECT_EQ(u.rom[0].duration_ms, 7);
    EXPECT_EQ(u.rom[31].trigger_id, 33);
    EXPECT_EQ(u.rom[31].duration_ms, -1);

    log.clear();
    parseLogicFile("none.txt", u.items);
    EXPECT_TRUE(log.contains("E (") && log.contains("Could not open file none.txt"));
}

// ---------------------------------------------------------------- CV file

TEST(CvFile, AppliesReadableLinesInRange) {
    WorkFolder dir;
    write_file("cv.txt",
               "cv29=6\n"
               "cv600=1\n"  // beyond CV 511
               "CV12=3\n"   // upper case
               "cv7=300\n"  // one byte: 44
               "cv511=9\n"
               "cv8 = 5\n"  // blank before "=": unreadable
               "cv9= 4\n"
               "cv10=-1\n"  // negative: does not fit
               "cv11=99999999999\n"
               "cv-3=1\n"
               "# cv13=1\n"  // numbers are read from the third character
               "xcv14=1\n"
               "cv15=16\r\n");
    Memory_ResetForTest();
    LogCapture log;
    parseCVFile("cv.txt");
    EXPECT_TRUE(log.contains("FILE_IO: Parsing CV file"));
    EXPECT_EQ(Memory_LoadU8(29), 6);
    EXPECT_EQ(Memory_LoadU8(7), 44);
    EXPECT_TRUE(log.contains("W (") && log.contains("FILE_IO: Applied CV7=300"));
    EXPECT_EQ(Memory_LoadU8(511), 9);
    EXPECT_EQ(Memory_LoadU8(9), 4);
    EXPECT_EQ(Memory_LoadU8(15), 16);
    for (int cv : {8, 10, 11, 12, 13, 14, 600 % 512})
        EXPECT_EQ(Memory_LoadU8(cv), 0) << cv;
    EXPECT_EQ(log.count("Applied CV"), 5) << log.dump();

    log.clear();
    parseCVFile("none.txt");
    EXPECT_TRUE(log.contains("Could not open file none.txt"));
}

// ---------------------------------------------------------------- mapping

struct MapCase {
    const char *line;
    int func;      // -1: the line maps nothing
    uint16_t fwd;  // masks expected for that function
    uint16_t rev;
};

TEST(MappingLine, OutputsAndDirections) {
    std::vector<MapCase> cases = {
        {"F0_F:0", 0, 0x0001, 0x0001}, {"F0_R:<1", 1, 0, 0x0002},      {"AUX1:>3", 3, 0x0004, 0},
        {"AUX2:1>", 1, 0x0008, 0},     {"DAT:2", 2, 0x0200, 0x0200},   {"CLK:<>2", 2, 0x0400, 0x0400},
        {"7:5", 5, 0x0040, 0x0040},    {"OUT3 :6", 6, 0x0004, 0x0004}, {"AUX14:3", 3, 0x8000, 0x8000},
        {"16:3", 3, 0x8000, 0x8000},   {"1:30\n", 30, 0x0001, 0x0001}, {"1:F12 horn", 12, 0x0001, 0x0001}};
    // Nothing: outputs beyond the 16-bit masks, output 0, no number, no colon, functions beyond
    // F30, numbers too large to read.
    for (const char *nothing : {"AUX15:3", "17:3", "0:3", "X:3", "AUX:3", "5 3", "1:31", "1:300", "1:x,,>",
                                "AUX99999999999999999999:1", "1:99999999999999999999"})
        cases.push_back({nothing, -1, 0, 0});
    for (const MapCase &c : cases) {
        SCOPED_TRACE(c.line);
        uint16_t map[FILEIO_MAP_FUNCTIONS][2] = {};
        std::string line = c.line;
        parseOutputsMap(line.data(), map);
        for (int f = 0; f < FILEIO_MAP_FUNCTIONS; f++) {
            EXPECT_EQ(map[f][0], f == c.func ? c.fwd : 0) << "F" << f;
            EXPECT_EQ(map[f][1], f == c.func ? c.rev : 0) << "F" << f;
        }
    }
}

TEST(MappingFile, WritesEveryMappingCv) {
    WorkFolder dir;
    write_file("map.txt", "AUX1:>3,4\nAUX14:2>\nbad line\n");
    Memory_ResetForTest();
    for (int cv = 280; cv < 404; cv++)
        Memory_SaveU8((uint16_t)cv, 0xA5);
    Memory_SaveU8(279, 0xA5);
    Memory_SaveU8(404, 0xA5);
    LogCapture log;
    parseMapFile("map.txt");
    EXPECT_TRUE(log.contains("FILE_IO: Parsing mapping file"));
    for (int cv = 280; cv < 404; cv++) {
        uint8_t expected = 0;
        if (cv == 286 || cv == 288 || cv == 289) expected = 0x04;  // F3 forward, F4 both, low byte
        if (cv == 346) expected = 0x80;                            // F2 forward, high byte
        EXPECT_EQ(Memory_LoadU8((uint16_t)cv), expected) << cv;
    }
    EXPECT_EQ(Memory_LoadU8(279), 0xA5);
    EXPECT_EQ(Memory_LoadU8(404), 0xA5);
    EXPECT_EQ(log.count("Updating mapping CV"), 124);
    EXPECT_TRUE(log.contains("FILE_IO: Updating mapping CV286 to 0x4"));

    // Nothing changes: nothing is written; an empty map clears every mapping CV.
    log.clear();
    parseMapFile("map.txt");
    EXPECT_EQ(log.count("Updating mapping CV"), 0);
    write_file("map.txt", "");
    parseMapFile("map.txt");
    EXPECT_EQ(log.count("Updating mapping CV"), 4);
    for (int cv = 280; cv < 404; cv++)
        EXPECT_EQ(Memory_LoadU8((uint16_t)cv), 0) << cv;

    // A missing file changes no CV.
    Memory_SaveU8(300, 9);
    log.clear();
    parseMapFile("none.txt");
    EXPECT_TRUE(log.contains("Could not open file none.txt"));
    EXPECT_EQ(Memory_LoadU8(300), 9);
}

TEST(MappingFile, CvValueLayout) {
    uint16_t map[FILEIO_MAP_FUNCTIONS][2] = {};
    map[0][0] = 0x1234;
    map[30][1] = 0xABCD;
    EXPECT_EQ(getCVValue(map, 0), 0x34);
    EXPECT_EQ(getCVValue(map, 62), 0x12);
    EXPECT_EQ(getCVValue(map, 61), 0xCD);
    EXPECT_EQ(getCVValue(map, 123), 0xAB);
    EXPECT_EQ(getCVValue(map, 124), 0);
    EXPECT_EQ(getCVValue(map, -1), 0);
}

}  // namespace
