// Identifier rules of the primary and Joliet trees, and the record order.
#include "ovISOCheck.h"

#include <algorithm>

namespace iso {

namespace {

bool IsDChar(unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_'; }

// "NAME.EXT" and the version after ";" (empty when there is none).
void SplitVersion(const std::string &id, std::string &base, std::string &version, bool &hasVersion) {
  const size_t semi = id.rfind(';');
  hasVersion = semi != std::string::npos;
  base = hasVersion ? id.substr(0, semi) : id;
  version = hasVersion ? id.substr(semi + 1) : std::string();
}

// Characters outside the d-characters (with "~" counted apart), as text.
void CheckDChars(const std::string &part, std::vector<std::string> &errors, std::vector<std::string> &warnings) {
  std::string bad;
  bool tilde = false;
  for (unsigned char c : part) {
    if (IsDChar(c))
      continue;
    if (c == '~') {
      tilde = true;
      continue;
    }
    const std::string shown = IdentifierText(std::string(1, static_cast<char>(c)), false);
    if (bad.find("\"" + shown + "\"") == std::string::npos)
      bad += (bad.empty() ? "" : " ") + ("\"" + shown + "\"");
  }
  if (!bad.empty())
    errors.push_back("characters outside the d-characters: " + bad);
  if (tilde)
    warnings.push_back("\"~\" is not a d-character (a collision alias)");
}

int ComparePadded(const std::string &a, const std::string &b) {
  const size_t n = std::max(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    const unsigned char ca = i < a.size() ? static_cast<unsigned char>(a[i]) : ' ';
    const unsigned char cb = i < b.size() ? static_cast<unsigned char>(b[i]) : ' ';
    if (ca != cb)
      return ca < cb ? -1 : 1;
  }
  return 0;
}

long VersionNumber(const std::string &v) {
  if (v.empty() || v.size() > 5 || !std::all_of(v.begin(), v.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return -1;
  return std::stol(v);
}

} // namespace

void PrimaryNameProblems(const std::string &Raw, bool Directory, std::vector<std::string> &Errors,
                         std::vector<std::string> &Warnings, uint32_t Level) {
  if (Level >= 4) {
    // ISO 9660:1999: up to 207 bytes, the version optional, any character
    // but the separators of a path.
    if (Raw.size() > kMaxLevel4Identifier)
      Errors.push_back("identifier of " + std::to_string(Raw.size()) + " bytes (at most " +
                       std::to_string(kMaxLevel4Identifier) + ")");
    if (Raw.find('/') != std::string::npos || std::any_of(Raw.begin(), Raw.end(), [](char c) {
          return static_cast<unsigned char>(c) < 0x20;
        }))
      Errors.push_back("identifier holds \"/\" or control characters");
    return;
  }
  // Level 1 allows 8 characters and an extension of 3; levels 2 and 3 allow
  // 31 bytes for a directory and 30 for a file's name and extension.
  const size_t maxDir = Level == 1 ? 8 : 31;
  if (Directory) {
    if (Raw.size() > maxDir)
      Errors.push_back("directory identifier of " + std::to_string(Raw.size()) + " characters (at most " +
                       std::to_string(maxDir) + ")");
    CheckDChars(Raw, Errors, Warnings);
    return;
  }
  std::string base, version;
  bool hasVersion;
  SplitVersion(Raw, base, version, hasVersion);
  if (!hasVersion) {
    Errors.push_back("file identifier without \";\" and a version number");
  } else {
    const long v = VersionNumber(version);
    if (v < 1 || v > 32767)
      Errors.push_back("file version \"" + IdentifierText(version, false) + "\" is not a number from 1 to 32767");
  }
  const size_t dot = base.find('.');
  if (dot == std::string::npos) {
    Errors.push_back("file identifier without the \".\" separator");
    CheckDChars(base, Errors, Warnings);
    return;
  }
  const std::string stem = base.substr(0, dot), ext = base.substr(dot + 1);
  if (stem.empty() && ext.empty())
    Errors.push_back("file identifier with neither a name nor an extension");
  if (Level == 1 && (stem.size() > 8 || ext.size() > 3))
    Errors.push_back("file identifier is longer than 8.3 (" + std::to_string(stem.size()) + "." +
                     std::to_string(ext.size()) + ")");
  else if (Level > 1 && stem.size() + ext.size() > 30)
    Errors.push_back("file name and extension of " + std::to_string(stem.size() + ext.size()) +
                     " characters (at most 30)");
  CheckDChars(stem + ext, Errors, Warnings);
}

bool LongerThanLevel1(const std::string &Raw, bool Directory) {
  if (Directory)
    return Raw.size() > 8;
  std::string base, version;
  bool hasVersion;
  SplitVersion(Raw, base, version, hasVersion);
  const size_t dot = base.find('.');
  return dot == std::string::npos ? base.size() > 8 : dot > 8 || base.size() - dot - 1 > 3;
}

void JolietNameProblems(const std::string &Raw, bool Directory, std::vector<std::string> &Errors,
                        std::vector<std::string> &Warnings) {
  if (Raw.size() % 2) {
    Errors.push_back("Joliet identifier of an odd number of bytes (" + std::to_string(Raw.size()) + ")");
    return;
  }
  std::u16string u;
  for (size_t i = 0; i < Raw.size(); i += 2)
    u.push_back(static_cast<char16_t>(static_cast<uint8_t>(Raw[i]) << 8 | static_cast<uint8_t>(Raw[i + 1])));
  // A file's ";" and version number are not part of its name.
  if (!Directory) {
    const size_t semi = u.rfind(u';');
    if (semi != std::u16string::npos && semi + 1 < u.size() &&
        std::all_of(u.begin() + static_cast<long>(semi) + 1, u.end(), [](char16_t c) { return c >= u'0' && c <= u'9'; }))
      u.resize(semi);
  }
  bool surrogate = false, control = false;
  std::string forbidden;
  for (char16_t c : u) {
    if (c >= 0xD800 && c < 0xE000)
      surrogate = true;
    else if (c < 0x20)
      control = true;
    else if (c == u'/' || c == u'*' || c == u':' || c == u';' || c == u'?' || c == u'\\') {
      const char ch = static_cast<char>(c);
      if (forbidden.find(ch) == std::string::npos)
        forbidden += ch;
    }
  }
  if (surrogate)
    Errors.push_back("Joliet identifier is not valid UCS-2 (a surrogate code unit)");
  if (control)
    Errors.push_back("Joliet identifier holds control characters");
  if (!forbidden.empty()) {
    std::string shown;
    for (char c : forbidden)
      shown += (shown.empty() ? "\"" : " \"") + std::string(1, c) + "\"";
    Errors.push_back("Joliet identifier holds characters Joliet forbids: " + shown);
  }
  if (u.empty())
    Errors.push_back("empty Joliet identifier");
  if (u.size() > 64)
    Warnings.push_back("Joliet identifier of " + std::to_string(u.size()) + " characters (more than 64)");
}

int CompareRecordOrder(const std::string &A, const std::string &B, bool Joliet) {
  std::string ba, va, bb, vb;
  bool ha, hb;
  SplitVersion(A, ba, va, ha);
  SplitVersion(B, bb, vb, hb);
  if (Joliet) {
    // Joliet identifiers are pairs of bytes: the ";" of a version is 0x00 0x3B.
    const auto strip = [](const std::string &id, std::string &base) {
      base = id;
      for (size_t i = id.size(); i >= 2; i -= 2)
        if (id[i - 2] == '\0' && id[i - 1] == ';') {
          base = id.substr(0, i - 2);
          break;
        }
    };
    strip(A, ba);
    strip(B, bb);
    const int c = ba.compare(bb);
    return c < 0 ? -1 : c > 0 ? 1 : 0;
  }
  const size_t da = ba.find('.'), db = bb.find('.');
  const std::string sa = ba.substr(0, da), sb = bb.substr(0, db);
  const std::string ea = da == std::string::npos ? "" : ba.substr(da + 1);
  const std::string eb = db == std::string::npos ? "" : bb.substr(db + 1);
  if (int c = ComparePadded(sa, sb))
    return c;
  if (int c = ComparePadded(ea, eb))
    return c;
  const long na = VersionNumber(va), nb = VersionNumber(vb);
  return na == nb ? 0 : na > nb ? -1 : 1;  // higher versions first
}

} // namespace iso
