#pragma once

#include <string>
#include <string_view>

namespace quillane::host {

// Valid UTF-8 comes back byte for byte; each ill-formed part (the longest run that
// starts like a sequence but cannot complete, or a single stray byte) becomes one
// U+FFFD. Window titles and file names arrive from other programs unchecked, and
// one bad byte must not make a JSON document unwritable.
std::string sanitizeUtf8(std::string_view bytes);

bool isValidUtf8(std::string_view bytes);

// The longest prefix of `text` of at most `maxBytes` bytes that ends on a
// UTF-8 code-point boundary: a cut that keeps characters whole.
std::string_view utf8Prefix(std::string_view text, std::size_t maxBytes);

// Latin-1 (ISO 8859-1) bytes to UTF-8: the encoding of X11's STRING properties.
std::string latin1ToUtf8(std::string_view bytes);

// wchar_t text is UTF-16 on Windows and UTF-32 elsewhere; unpaired surrogates and
// values beyond U+10FFFF become U+FFFD.
std::string wideToUtf8(std::wstring_view text);

// Ill-formed bytes become U+FFFD, as in sanitizeUtf8.
std::wstring utf8ToWide(std::string_view bytes);

}  // namespace quillane::host
