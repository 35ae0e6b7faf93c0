// Unicode Normalization Form C.
//
// NFC is canonical decomposition (Hangul syllables included) followed by
// canonical ordering of combining marks and canonical composition, with the
// full composition exclusions. Compatibility mappings are never applied.
//
// text must be valid UTF-8; the result is valid UTF-8. Text that is already
// NFC, ASCII text in particular, comes back byte for byte; only the stretches
// that fail the NFC quick check are decomposed and recomposed.
#pragma once

#include <string>
#include <string_view>

namespace korvane::unicode {

// Returns the NFC form of text.
std::string to_nfc(std::string_view text);

// Appends the NFC form of text to out. text must not alias out.
void append_nfc(std::string& out, std::string_view text);

}  // namespace korvane::unicode
