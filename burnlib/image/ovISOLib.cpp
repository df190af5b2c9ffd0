#include "ovISOLib.h"

#include <algorithm>
#include <utility>

// ---- TMemoryStream ----

size_t TMemoryStream::Write(const void *buf, size_t count) {
  if (count == 0)
    return 0;
  if (position_ + count > data_.size())
    data_.resize(position_ + count);
  std::memcpy(data_.data() + position_, buf, count);
  position_ += count;
  return count;
}

size_t TMemoryStream::Read(void *buf, size_t count) {
  if (position_ >= data_.size())
    return 0;
  const size_t n = std::min(count, data_.size() - position_);
  std::memcpy(buf, data_.data() + position_, n);
  position_ += n;
  return n;
}

void TMemoryStream::Clear() {
  std::vector<uint8_t>().swap(data_);
  position_ = 0;
}

void TMemoryStream::Assign(std::vector<uint8_t> &&Bytes) {
  data_ = std::move(Bytes);
  position_ = data_.size();
}

std::vector<uint8_t> TMemoryStream::Release() {
  std::vector<uint8_t> out = std::move(data_);
  Clear();
  return out;
}

// ---- TNameIndex ----

namespace {

char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }

uint64_t UpperHash(const std::string &s) {
  uint64_t h = 1469598103934665603ull;  // FNV-1a over the upper-cased bytes
  for (char c : s) {
    h ^= static_cast<unsigned char>(AsciiUpper(c));
    h *= 1099511628211ull;
  }
  return h ^ (h >> 29);
}

bool SameUpper(const std::string &a, const std::string &b) {
  if (a.size() != b.size())
    return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (AsciiUpper(a[i]) != AsciiUpper(b[i]))
      return false;
  return true;
}

} // namespace

TFEntry *TNameIndex::Find(const std::string &longName) const {
  TFEntry *found = nullptr;
  map_.Find(UpperHash(longName), [&](TFEntry *const &e) {
    if (!SameUpper(e->LongName, longName))
      return false;
    found = e;
    return true;
  });
  return found;
}

void TNameIndex::Add(TFEntry *e) {
  const uint64_t h = UpperHash(e->LongName);
  const bool replaced = map_.Find(h, [&](TFEntry *&x) {
    if (!SameUpper(x->LongName, e->LongName))
      return false;
    x = e;
    return true;
  });
  if (!replaced)
    map_.Insert(h, e);
}

void TNameIndex::Remove(TFEntry *e) {
  map_.Erase(UpperHash(e->LongName), [&](TFEntry *&x) { return x == e; });
}

// ---- name rules ----

std::string UpperCase(const std::string &s) {
  std::string r = s;
  for (char &c : r)
    if (c >= 'a' && c <= 'z')
      c = static_cast<char>(c - 32);
  return r;
}

std::string MakeAlias(const std::string &name) {
  std::string r = name.substr(0, 13);
  for (char &c : r) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u >= 'a' && u <= 'z')
      c = static_cast<char>(u - 32);
    else if (u < 0x21 || u > 0x7A)
      c = '_';
  }
  return r;
}

namespace {

// Decodes one UTF-8 sequence at s[i]; returns the code point and advances i,
// or returns -1 for a malformed byte (i advances by one).
int32_t DecodeUtf8(const std::string &s, size_t &i) {
  const unsigned char c = static_cast<unsigned char>(s[i]);
  if (c < 0x80) {
    ++i;
    return c;
  }
  size_t len;
  int32_t cp;
  if ((c & 0xE0) == 0xC0) {
    len = 2;
    cp = c & 0x1F;
  } else if ((c & 0xF0) == 0xE0) {
    len = 3;
    cp = c & 0x0F;
  } else if ((c & 0xF8) == 0xF0) {
    len = 4;
    cp = c & 0x07;
  } else {
    ++i;
    return -1;
  }
  if (i + len > s.size()) {
    ++i;
    return -1;
  }
  for (size_t k = 1; k < len; ++k) {
    const unsigned char cc = static_cast<unsigned char>(s[i + k]);
    if ((cc & 0xC0) != 0x80) {
      ++i;
      return -1;
    }
    cp = (cp << 6) | (cc & 0x3F);
  }
  static const int32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    ++i;
    return -1;
  }
  i += len;
  return cp;
}

void AppendUtf8(std::string &out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

} // namespace

std::u16string Utf8ToUCS2(const std::string &s) {
  std::u16string r;
  r.reserve(s.size());
  for (size_t i = 0; i < s.size();) {
    const int32_t cp = DecodeUtf8(s, i);
    r += (cp < 0 || cp > 0xFFFF) ? u'_' : static_cast<char16_t>(cp);
  }
  return r;
}

size_t UCS2Length(const std::string &s) {
  size_t n = 0;
  for (size_t i = 0; i < s.size(); ++n)
    DecodeUtf8(s, i);
  return n;
}

std::string SanitizeLongName(const std::string &name) {
  std::string out;
  out.reserve(name.size());
  for (size_t i = 0; i < name.size();) {
    const int32_t cp = DecodeUtf8(name, i);
    if (cp < 0x20 || cp > 0xFFFF || cp == 0x7F || cp == '*' || cp == '/' || cp == ':' || cp == ';' || cp == '?' ||
        cp == '\\')
      out += '_';
    else
      AppendUtf8(out, static_cast<char32_t>(cp));
  }
  return out;
}

namespace {

// Byte offset in s after the first n characters.
size_t OffsetOfChars(const std::string &s, size_t n) {
  size_t i = 0;
  for (size_t k = 0; k < n && i < s.size(); ++k)
    DecodeUtf8(s, i);
  return i;
}

} // namespace

std::string FitLongName(const std::string &name, size_t maxChars) {
  const size_t total = UCS2Length(name);
  if (total <= maxChars)
    return name;
  const size_t dot = name.rfind('.');
  size_t extChars = 0;
  if (dot != std::string::npos && dot > 0)
    extChars = UCS2Length(name.substr(dot));
  if (extChars == 0 || extChars > 16 || extChars >= maxChars)
    return name.substr(0, OffsetOfChars(name, maxChars));
  const std::string stem = name.substr(0, dot);
  return stem.substr(0, OffsetOfChars(stem, maxChars - extChars)) + name.substr(dot);
}
