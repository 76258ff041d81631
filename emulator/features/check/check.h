// Project check: what the firmware's own scanner and slot loader make of a sound slot, told in
// the author's terms (files and their roles, function chains, the drive sound, logic conditions,
// the text files) with warnings for likely mistakes. Host code beside the emulator; the firmware
// is only run, never changed for it.
//
// The check runs the real slot load and reads the resulting slot records; where the firmware
// keeps no record of a decision (why a file was refused, which line a parser rejected), it uses
// the firmware's own log lines, captured during the load, and the firmware's own parsers.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

using check_json = nlohmann::ordered_json;

// Exit status of `emulator --check`: clean, warnings only, refused files or lines.
enum { CHECK_CLEAN = 0, CHECK_WARNINGS = 1, CHECK_ERRORS = 2 };

// Loads slot `slot` (1..3) of the working folder with the firmware's loader in this process and
// returns the report. The firmware must be started (emulator_init): in a running emulator this
// is a slot load like `cv202=<slot>`, so what plays is stopped and the slot loads anew. The log
// of the load is captured for the report and printed as usual; what the check's own parsing
// logs is not printed.
check_json check_report_json(int slot);

// The report as text for a terminal, ending with the summary line.
std::string check_report_text(const check_json &report);

// `emulator --check [SLOT] [--json]`: starts the firmware without sound and console, loads the
// slot (0: the slot of slot.txt), prints the report and returns the exit status.
int check_main(const char *program, int slot, bool json);
