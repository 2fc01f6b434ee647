// How many bytes of input a vorn command line names, told before any work is done.
#pragma once

#include <cstdint>

namespace vorn::app {

// The size of the file `export` or `inspect` reads, and for a scene document also of the
// sidecar buffers it names; 0 for other commands and for files that cannot be found.
uint64_t CommandInputBytes(int argc, const char* const* argv);

// True when an `export` will convert textures: the last `--set TextureConvert=` says so, or
// else the settings file in the folder --config-dir names (or the user's). A dialog may still
// turn it on; that is not known before the work.
bool CommandConvertsTextures(int argc, const char* const* argv);

}  // namespace vorn::app
