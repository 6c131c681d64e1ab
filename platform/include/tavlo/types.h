// Basic types of the Tavlo runtime.  Every public call of the platform and of
// the libraries above it speaks in these: fixed-width words, 32-bit handles
// and the 8-byte time stamp.  Stored records are memory images, so the sizes
// here are part of the on-disk format and are checked at compile time.
#ifndef TAVLO_TYPES_H_
#define TAVLO_TYPES_H_

#include <cstddef>
#include <cstdint>

typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int32_t BOOL;  // TRUE only when exactly 1 where a caller says so
typedef uint16_t STATUS;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

// Movable memory block (see runtime.h).  0 is never a valid handle.
typedef uint32_t DHANDLE;
#define NULLHANDLE ((DHANDLE)0)

typedef uint32_t DBHANDLE;     // open database
typedef uint32_t NOTEHANDLE;   // open document
typedef uint32_t NOTEID;       // document id within its database
typedef uint32_t HCOLLECTION;  // open view collection
typedef DHANDLE FORMULAHANDLE; // compiled formula, a runtime memory block

// Opaque 8-byte time stamp.  Innards[0] holds the low 32 bits and
// Innards[1] the high 32 bits of a signed count of microseconds since
// 1970-01-01 UTC; see TimeConstant for the three special values.
struct TIMEDATE {
  DWORD Innards[2];
};
static_assert(sizeof(TIMEDATE) == 8, "TIMEDATE is 8 bytes");

#pragma pack(push, 2)
// A value inside a memory block: its address is the locked pool plus block.
struct BLOCKID {
  DHANDLE pool;
  WORD block;
};
#pragma pack(pop)
static_assert(sizeof(BLOCKID) == 6, "BLOCKID is 6 bytes");

// Identity of a document across replicas.
struct ORIGINATORID {
  TIMEDATE File;       // database (replica) id
  TIMEDATE Note;       // unique document id
  DWORD Sequence;      // edit sequence number
  TIMEDATE SequenceTime;
};

struct GLOBALINSTANCEID {
  TIMEDATE File;
  TIMEDATE Note;
  NOTEID NoteID;
};

struct DBREPLICAINFO {
  TIMEDATE ID;          // replica id
  WORD Flags;           // replication flags
  WORD CutoffInterval;  // days
  TIMEDATE Cutoff;
};

#endif  // TAVLO_TYPES_H_
