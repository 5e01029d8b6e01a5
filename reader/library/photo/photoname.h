// File names built from card data, which is untrusted.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "photo/photostore.h"

namespace kav::photo {

// One part of a name: path separators, NUL, control characters and '?'
// removed, characters GBK cannot hold replaced by '_', then spaces (also
// U+3000) and leading dots trimmed at both ends.
std::u16string cleanNamePart(std::u16string_view text);

// The file name without extension for a scheme; nullopt when the card data
// leaves nothing sound (empty, or only dots such as "." and "..").
std::optional<std::u16string> photoBaseName(NameScheme scheme, std::u16string_view name,
                                            std::u16string_view idNumber);

} // namespace kav::photo
