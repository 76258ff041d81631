// The DCC-EX native protocol, as JMRI (DecoderPro and its throttles) and Engine Driver speak
// it: commands in <...> frames, with or without line ends between them, several in one read or
// one split over several. A frame is a letter and blank-separated words; the replies are frames
// too, each followed by a line end.
//
// The emulated command station reports DCC-EX 5.0.0 on a "PC" with one decoder on its main
// track, the same one on its programming track. Commands to other addresses are accepted and
// remembered (and reported back), and move nothing. A command it does not know or cannot
// read is answered <X>.
#pragma once

#include "session.h"

// The longest frame taken; the longest a client sends is well under 100 bytes.
constexpr size_t DCCEX_MAX_FRAME = 256;

class dccex_session : public net_session {
public:
    explicit dccex_session(station &st) : net_session(st) {}
    const char *protocol() const override { return "DCC-EX"; }
    size_t feed(const char *data, size_t size, int64_t now_ms) override;
    void tell_changes(const std::vector<loco_change> &changes, bool own) override;
    void tell_power(bool own) override;

private:
    void handle(std::string_view frame);
    void reply(const std::string &frame);
    void throttle(const std::vector<long> &n);
    void function_group(const std::vector<long> &n);
    void programming(char op, const std::vector<long> &n);
    void roster(const std::vector<std::string_view> &words);
    std::string loco_frame(int address, const loco_state &s, int slot);

    bool in_frame_ = false;
    bool overlong_ = false;
    std::string frame_;
};

// The labels of the decoder's keys as a roster entry carries them: F0/F1/... separated by "/",
// a momentary key's label marked with "*"; at most `room` characters (whole labels only).
std::string dccex_roster_labels(const decoder_key_names &names, size_t room);
