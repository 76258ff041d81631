// The recipes of the demo's two slots: each writes its sounds and text files into `dir`
// (ending in '/') through `w`. They run in this order, diesel first: the Ogg serial numbers
// count the files written before.
#pragma once

#include <string>

#include "synth.h"

// Slot 1, a diesel locomotive; `tmp` holds espeak-ng's output for the announcements.
void make_diesel_slot(synth::Writer &w, const std::string &dir, const std::string &tmp);
// Slot 2, an electric locomotive with a load-driven engine sound.
void make_electric_slot(synth::Writer &w, const std::string &dir);
