// Little-endian word access for stored layouts, independent of the host's
// byte order and of alignment.
#ifndef TAVLO_RUNTIME_LE_H_
#define TAVLO_RUNTIME_LE_H_

#include "tavlo/types.h"

namespace tavlo_rt {

inline WORD GetWordLE(const void* at) {
  const BYTE* b = static_cast<const BYTE*>(at);
  return static_cast<WORD>(b[0] | (b[1] << 8));
}

inline void PutWordLE(void* at, WORD value) {
  BYTE* b = static_cast<BYTE*>(at);
  b[0] = static_cast<BYTE>(value & 0xFF);
  b[1] = static_cast<BYTE>(value >> 8);
}

}  // namespace tavlo_rt

#endif  // TAVLO_RUNTIME_LE_H_
