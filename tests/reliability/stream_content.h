// Byte `offset` of the test stream of message `serial`, shared by the writer
// and the test that checks it, so a torn or misplaced piece shows.
#ifndef RELIABILITY_STREAM_CONTENT_H_
#define RELIABILITY_STREAM_CONTENT_H_
#include <cstdint>
namespace rel {
inline unsigned char StreamByte(uint32_t serial, uint32_t offset) {
  uint32_t x = offset * 0x9E3779B1u ^ (serial + 1) * 0x85EBCA77u;
  x ^= x >> 15;
  x *= 0x2C1B3C6Du;
  x ^= x >> 12;
  return static_cast<unsigned char>(x ^ (offset >> 16));
}
}  // namespace rel
#endif  // RELIABILITY_STREAM_CONTENT_H_
