#include "framework/tiFirebird.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

// Windows-1252 <-> UTF-8: the text boundary between the program and the database.

namespace kelvado {

namespace {

// Code points of the bytes 0x80..0x9F; the five undefined bytes map to their C1 control code points.
constexpr char32_t kHigh[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

std::string CodePointText(char32_t c) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "U+%04X", static_cast<unsigned>(c));
  return buf;
}

}  // namespace

std::string tiUtf8ToWin1252(std::string_view in) {
  std::string out;
  out.reserve(in.size());
  size_t i = 0;
  size_t charPos = 0;
  while (i < in.size()) {
    ++charPos;
    const auto b0 = static_cast<unsigned char>(in[i]);
    char32_t c;
    size_t len;
    if (b0 < 0x80) {
      c = b0;
      len = 1;
    } else if ((b0 & 0xE0) == 0xC0) {
      c = b0 & 0x1F;
      len = 2;
    } else if ((b0 & 0xF0) == 0xE0) {
      c = b0 & 0x0F;
      len = 3;
    } else if ((b0 & 0xF8) == 0xF0) {
      c = b0 & 0x07;
      len = 4;
    } else {
      throw EConvertError(tiFormat("Text is not valid UTF-8 (byte 0x%02X at character %d)", {b0, charPos}));
    }
    if (i + len > in.size())
      throw EConvertError(tiFormat("Text is not valid UTF-8 (truncated character at position %d)", {charPos}));
    for (size_t k = 1; k < len; ++k) {
      const auto b = static_cast<unsigned char>(in[i + k]);
      if ((b & 0xC0) != 0x80)
        throw EConvertError(tiFormat("Text is not valid UTF-8 (bad byte 0x%02X at character %d)", {b, charPos}));
      c = (c << 6) | (b & 0x3F);
    }
    static constexpr char32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (c < kMin[len] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
      throw EConvertError(tiFormat("Text is not valid UTF-8 (bad sequence at character %d)", {charPos}));
    i += len;
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) {
      out += static_cast<char>(c);
      continue;
    }
    const char32_t* hit = std::find(std::begin(kHigh), std::end(kHigh), c);
    if (hit == std::end(kHigh))
      throw EConvertError(tiFormat("The character %s at position %d cannot be stored: the database holds "
                                   "Windows-1252 text only",
                                   {CodePointText(c), charPos}));
    out += static_cast<char>(0x80 + (hit - std::begin(kHigh)));
  }
  return out;
}

std::string tiWin1252ToUtf8(std::string_view in) {
  std::string out;
  out.reserve(in.size() + in.size() / 8);
  for (char ch : in) {
    const auto b = static_cast<unsigned char>(ch);
    if (b < 0x80)
      out += ch;
    else if (b < 0xA0)
      AppendUtf8(out, kHigh[b - 0x80]);
    else
      AppendUtf8(out, b);
  }
  return out;
}

}  // namespace kelvado
