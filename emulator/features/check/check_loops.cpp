// Loops as the reader plays them: the length of one pass, and the warnings for a loop whose
// passes are not its file.
#include <algorithm>

#include "audio_reader.h"
#include "check_private.h"

// One pass of a loop, as the reader plays it: a WAV pass (PCM or ADPCM) is the whole file, except
// that a "_T" duration cuts an ADPCM pass; an Ogg pass ends with its last whole buffer. Lengths
// in milliseconds.
check_loop_pass check_loop_pass_of(const check_file_info &fi, uint32_t custom_ms) {
    check_loop_pass lp{0, 0, 0};
    if (!fi.ok || fi.sample_rate == 0) return lp;
    const uint64_t file = fi.frames;
    uint64_t pass = file;
    if (fi.format == AUDIO_FORMAT_OGG) {
        // An Ogg pass ends with the last whole buffer (the engine's readers: 4096 bytes per
        // channel, 2048 frames).
        pass = file / 2048 * 2048;
    } else if (fi.format == AUDIO_FORMAT_ADPCM && custom_ms != 0) {
        // An IMA ADPCM loop is cut at its "_T" duration when that is shorter.
        pass = std::min(pass, (uint64_t)(custom_ms + 1) * fi.sample_rate / 1000);
    }
    lp.file_ms = (uint32_t)(file * 1000 / fi.sample_rate);
    lp.pass_ms = (uint32_t)(pass * 1000 / fi.sample_rate);
    lp.pass_frames = pass;
    return lp;
}

namespace check_report_parts {

// A loop whose passes are not its file: one whose name gives its length with "_T" but whose
// passes are of another length, or an Ogg loop that drops the end of the file at each pass.
void check_loop_length(builder &b, int i, const std::string &name, const check_loop_pass &lp) {
    const uint32_t custom = audio_reader_name_param(b.snap.tracks[i].filepath, "_T");
    if (custom == 0) {
        const uint64_t frames = b.snap.info[i].frames;
        if (b.snap.info[i].format == AUDIO_FORMAT_OGG && lp.pass_frames < frames)
            b.findings.warn(
                "loop-length", name,
                "each pass drops the last " +
                    std::to_string((frames - lp.pass_frames) * 1000 / b.snap.info[i].sample_rate) +
                    " ms of the file, which do not fill a whole buffer of 2048 frames, so the loop jumps "
                    "there: make it a whole number of buffers long, or a WAV file");
        return;
    }
    if (lp.pass_ms + 1 >= custom && lp.pass_ms <= custom + 1) return;
    const uint8_t format = b.snap.info[i].format;
    std::string why = "its name gives the loop " + std::to_string(custom) + " ms (_T), but each pass plays " +
                      std::to_string(lp.pass_ms) + " ms: ";
    if (format == AUDIO_FORMAT_ADPCM) {
        why += "the file holds only " + std::to_string(lp.file_ms) + " ms";
    } else {
        why += std::string("the decoder cuts only IMA ADPCM loops at their _T length; ") +
               (format == AUDIO_FORMAT_OGG ? "an Ogg loop plays the whole 2048-frame buffers of its "
                                           : "a PCM loop plays all ") +
               std::to_string(lp.file_ms) + " ms of audio";
    }
    b.findings.warn("loop-length", name, why);
}

}  // namespace check_report_parts
