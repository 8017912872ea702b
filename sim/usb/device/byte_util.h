// Little-endian field access on descriptor and request byte buffers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sim::usb {

inline uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t Le24(const uint8_t* p) { return p[0] | (p[1] << 8) | (static_cast<uint32_t>(p[2]) << 16); }
inline uint32_t Le32(const uint8_t* p) {
  return p[0] | (p[1] << 8) | (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline void PutLe16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void PutLe24(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
}
inline void PutLe32(uint8_t* p, uint32_t v) {
  PutLe16(p, static_cast<uint16_t>(v));
  PutLe16(p + 2, static_cast<uint16_t>(v >> 16));
}
inline void AppendLe16(std::vector<uint8_t>& v, uint16_t x) {
  v.push_back(static_cast<uint8_t>(x));
  v.push_back(static_cast<uint8_t>(x >> 8));
}
inline void AppendLe24(std::vector<uint8_t>& v, uint32_t x) {
  AppendLe16(v, static_cast<uint16_t>(x));
  v.push_back(static_cast<uint8_t>(x >> 16));
}
inline void AppendLe32(std::vector<uint8_t>& v, uint32_t x) {
  AppendLe16(v, static_cast<uint16_t>(x));
  AppendLe16(v, static_cast<uint16_t>(x >> 16));
}

}  // namespace sim::usb
