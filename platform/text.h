// Text helpers. Texts shown to the user are 16-bit wide strings; bytes from the receiver are
// 8-bit and widen to the character of the same value (Latin-1). Pure functions; any thread.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>

namespace larkspan {

using WideText = std::u16string;

WideText Widen(std::string_view latin1);
WideText Widen(std::span<const uint8_t> latin1);
// UTF-8 for the terminal and the file system; unpaired surrogates become U+FFFD.
std::string ToUtf8(std::u16string_view text);

// Writes each line of `lines` (each ending in '\n') to `out` after `prefix`, in one write, so
// that lines from two threads do not mix.
void PrintLines(std::FILE* out, std::string_view prefix, std::string_view lines);

// The text with its control bytes (below 0x20, and 0x7F) as "\xNN", so that nothing read from
// a file or a receiver steers the terminal it is shown on.
std::string EscapeControlBytes(std::string_view text);

}  // namespace larkspan
