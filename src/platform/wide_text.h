#pragma once

#include <string>
#include <string_view>

// Text inside the program is UTF-8. Paths and arguments come from UTF-16 that
// may hold unpaired surrogates (Windows file names are not checked), so path
// text is held as WTF-8: UTF-8 that also encodes a lone surrogate as its
// three-byte form. Converting back gives the same UTF-16 units.

// UTF-16 units to WTF-8, without loss.
std::string to_wtf8(std::u16string_view units);

// WTF-8 back to UTF-16 units. Text is expected to come from to_wtf8: a
// malformed byte becomes U+FFFD, and the two halves of a surrogate pair
// written separately are decoded as that pair.
std::u16string to_utf16(std::string_view text);

// True when the units hold no unpaired surrogate, i.e. have a UTF-8 form.
bool is_valid_unicode(std::u16string_view units);

// The text for people: every lone surrogate shown as U+FFFD.
std::string display_text(std::string_view text);
