// Writes an Image as a 24-bit Windows bitmap: the 14-byte file header, the 40-byte
// information header, rows bottom row first, each padded with zeros to a multiple of 4 bytes.
#pragma once

#include <string>

#include "base/image.h"

namespace kestrel::synth {

// Grey images are written with three equal bytes per pixel. The file replaces the target only
// when complete (base/replace_file.h). False, with `error` set, when it cannot be written.
bool WriteBmp24(const std::string& path, const Image& image, std::string& error);

}  // namespace kestrel::synth
