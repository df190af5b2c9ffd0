// Byte accessors for on-disc and on-wire structures: little-endian,
// big-endian and both-endian (a little-endian copy followed by the big-endian
// one). Readers of untrusted bytes use the both-endian getters, which also
// tell whether the two halves agree.
#pragma once

#include <cstdint>

namespace ov {

inline uint16_t GetLE16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
inline uint16_t GetBE16(const uint8_t *p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
inline uint32_t GetLE32(const uint8_t *p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
inline uint32_t GetBE32(const uint8_t *p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | uint32_t{p[3]};
}

// A both-endian field: the little-endian value (the one readers on PCs use),
// the big-endian one, and whether they agree.
template <class T> struct TBoth {
  T LE = 0;
  T BE = 0;
  bool Agree() const { return LE == BE; }
};
inline TBoth<uint16_t> GetBoth16(const uint8_t *p) { return {GetLE16(p), GetBE16(p + 2)}; }
inline TBoth<uint32_t> GetBoth32(const uint8_t *p) { return {GetLE32(p), GetBE32(p + 4)}; }

inline void PutLE16(uint8_t *p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void PutBE16(uint8_t *p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}
inline void PutLE32(uint8_t *p, uint32_t v) {
  for (int i = 0; i < 4; ++i)
    p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void PutBE32(uint8_t *p, uint32_t v) {
  for (int i = 0; i < 4; ++i)
    p[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}
inline void PutBoth16(uint8_t *p, uint16_t v) {
  PutLE16(p, v);
  PutBE16(p + 2, v);
}
inline void PutBoth32(uint8_t *p, uint32_t v) {
  PutLE32(p, v);
  PutBE32(p + 4, v);
}

} // namespace ov
