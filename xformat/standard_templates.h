// The three template blocks registered before every export.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "xformat/guid.h"

namespace vorn {

class TemplateRegistry;

// Block 1: the standard set in the binary template encoding, "xof 0302bin 0064", 3278 bytes.
std::span<const uint8_t> StandardTemplatesBinary();
// The same set as text ("xof 0303txt 0032").
std::span<const uint8_t> StandardTemplatesText();
// Block 2: skin, effect parameter and animation extension templates, text, 3224 bytes.
std::span<const uint8_t> ExtensionTemplatesText();
// Block 3: vertex declaration and progressive mesh templates, text, 1627 bytes.
std::span<const uint8_t> DeclDataTemplatesText();
// The three blocks in registration order.
std::array<std::span<const uint8_t>, 3> TemplateBlocks();

// A registry holding all three blocks.
const TemplateRegistry& StandardRegistry();
// Whether the identifier is one of the standard set of block 1.
bool IsStandardTemplate(const Guid& guid);

}  // namespace vorn
