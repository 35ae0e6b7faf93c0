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

#include <cstdint>
#include <string>
#include <string_view>

namespace korvane::unicode {

// The NFC quick check, one scalar at a time: text all of whose scalars pass
// is in NFC. A scalar fails when its NFC_Quick_Check value is No or Maybe, or
// when it is a combining mark of a lower class than the mark before it.
// ASCII always passes; a check may start afresh after ASCII, which never
// reorders or composes with what follows.
class NfcQuickCheck {
 public:
  bool passes(char32_t c);

 private:
  uint8_t last_ccc_ = 0;  // canonical combining class of the last scalar
};

// Whether every scalar of text passes the quick check.
bool passes_nfc_quick_check(std::string_view text);

// Returns the NFC form of text.
std::string to_nfc(std::string_view text);

// Appends the NFC form of text to out. text must not alias out.
void append_nfc(std::string& out, std::string_view text);

}  // namespace korvane::unicode
