// Shared helpers of the benchmark programs: CPU time of the process and of named threads, and
// sound files made with sox (the same files feed our decoders and sox's).
#pragma once

#include <string>

namespace bench {

// CPU time (user + system) in seconds of the whole process, all threads.
double process_cpu_seconds();
// CPU time in seconds of the threads of this process whose name starts with `prefix`.
double threads_cpu_seconds(const std::string &prefix);
// Runs a shell command; true when it exits with status 0.
bool run(const std::string &cmd);
// Makes `path` with sox: `seconds` of pink noise over a swept tone at `rate` Hz mono, encoded
// as `encoding` ("pcm", "adpcm" or "ogg"). Returns false (and prints why) on failure.
bool make_sound(const std::string &path, double seconds, int rate, const std::string &encoding);
// Size of a file in bytes, 0 when missing.
long long file_size(const std::string &path);

}  // namespace bench
