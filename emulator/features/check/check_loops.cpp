// Loops as the reader plays them: the length of one pass, and the warnings for a loop whose
// passes are not its file.
// The pass itself is the reader's own figure (audio_reader_get_loop_pass), taken when the check
// probes the file.
#include "audio_reader.h"
#include "check_private.h"

namespace check_report_parts {

// A loop whose passes are not its file: one whose name gives its length with "_T" but whose
// passes are of another length, or an Ogg loop that drops the end of the file at each pass.
void check_loop_length(builder &b, int i, const std::string &name, const audio_reader_loop_pass_t &lp) {
    const uint32_t custom = audio_reader_name_param(b.snap.tracks[i].filepath, "_T");
    if (custom == 0) {
        const uint64_t frames = b.snap.info[i].frames;
        if (b.snap.info[i].format == AUDIO_FORMAT_OGG && lp.frames < frames)
            b.findings.warn(
                "loop-length", name,
                "each pass drops the last " +
                    std::to_string((frames - lp.frames) * 1000 / b.snap.info[i].sample_rate) +
                    " ms of the file, which do not fill a whole buffer of 2048 frames, so the loop jumps "
                    "there: make it a whole number of buffers long, or a WAV file");
        return;
    }
    if (lp.ms + 1 >= custom && lp.ms <= custom + 1) return;
    const uint8_t format = b.snap.info[i].format;
    std::string why = "its name gives the loop " + std::to_string(custom) + " ms (_T), but each pass plays " +
                      std::to_string(lp.ms) + " ms: ";
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
