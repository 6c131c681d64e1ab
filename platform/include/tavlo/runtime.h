// Runtime services of the Tavlo platform: movable memory, packed text lists,
// time stamps, the add-in task (log, status line, stop request) and
// start-up and shut-down.  Everything runs on one thread; the only
// asynchronous input is the stop request (signals or `tavlo tell`).
#ifndef TAVLO_RUNTIME_H_
#define TAVLO_RUNTIME_H_

#include "tavlo/status.h"
#include "tavlo/types.h"

// ---------------------------------------------------------------------------
// Memory.  A block is known by a 32-bit handle; its address is valid only
// while it is locked.  Locks nest (a count per block).  Unknown, stale or
// freed handles give ERR_BAD_HANDLE (or a null address), never a crash.

// Allocates `size` bytes (0 allowed) tagged with the caller's 16-bit block
// type.  The block is unlocked and its contents undefined.
STATUS OSMemAlloc(WORD blockType, DWORD size, DHANDLE* retHandle);
// Resizes an unlocked block, keeping its first min(old,new) bytes.  A locked
// block gives ERR_LOCKED and is left as it was; so does a failed resize.
STATUS OSMemRealloc(DHANDLE handle, DWORD newSize);
// Frees the block, locked or not.
STATUS OSMemFree(DHANDLE handle);
STATUS OSMemGetSize(DHANDLE handle, DWORD* retSize);
// Locks the block and returns its address; null for a bad handle (or an
// injected lock fault).  The address is stable until the matching unlock.
void* OSLockObject(DHANDLE handle);
// Drops one lock; FALSE when the handle is bad or the block was not locked.
BOOL OSUnlockObject(DHANDLE handle);
// Address of a value inside a block: the locked pool plus the block number.
inline char* OSLockBlock(BLOCKID bid) {
  char* p = static_cast<char*>(OSLockObject(bid.pool));
  return p ? p + bid.block : nullptr;
}
inline BOOL OSUnlockBlock(BLOCKID bid) { return OSUnlockObject(bid.pool); }

// ---------------------------------------------------------------------------
// Text lists.  Layout (little-endian): [WORD 0x0501 when with type code]
// WORD count, then `count` WORD lengths, then the texts back to back without
// terminators.  The caller holds the list's byte length (all of the above).

#define TYPE_TEXT_LIST ((WORD)0x0501)

// Makes a list of `entries` empty texts reserving `textSize` bytes, and
// returns it locked with its address and byte length.
STATUS ListAllocate(WORD entries, WORD textSize, BOOL withTypeCode,
                    DHANDLE* retHandle, void** retList, WORD* retSize);
// Inserts a text at `entryNumber` (0..count), growing the block; works on a
// locked or an unlocked block (the block keeps its lock count).  `size` is
// the list's byte length, read and updated.  ERR_LIST_FULL past 65535 bytes.
STATUS ListAddEntry(DHANDLE handle, BOOL withTypeCode, WORD* size,
                    WORD entryNumber, const char* text, WORD textLen);
WORD ListGetNumEntries(const void* list, BOOL withTypeCode);
// Points *retText into the list at entry `index` (not terminated).
// ERR_LIST_INDEX when index >= count.
STATUS ListGetText(const void* list, BOOL withTypeCode, WORD index,
                   char** retText, WORD* retTextLen);
// Checks that a stored list of `size` bytes is whole: its type code (when
// asked for), count, lengths and texts all lie within `size`.
// ERR_LIST_CORRUPT otherwise.  Use before trusting a list read from disk.
STATUS ListCheck(const void* list, BOOL withTypeCode, DWORD size);

// ---------------------------------------------------------------------------
// Time.

#define TIMEDATE_MINIMUM 0
#define TIMEDATE_MAXIMUM 1
#define TIMEDATE_WILDCARD 2
void TimeConstant(WORD which, TIMEDATE* retTime);
// Negative, 0 or positive as a is earlier than, equal to or later than b.
int TimeDateCompare(const TIMEDATE* a, const TIMEDATE* b);
// The current time; strictly increasing within a process, so two stamps
// taken one after the other always compare as later.
void OSCurrentTIMEDATE(TIMEDATE* retTime);
// Microseconds since the epoch <-> TIMEDATE, for tools and tests.
void TimeFromMicros(int64_t micros, TIMEDATE* retTime);
int64_t TimeToMicros(const TIMEDATE* t);
// "YYYY-MM-DD HH:MM:SS" local time, or "minimum"/"maximum"/"wildcard".
WORD TimeToText(const TIMEDATE* t, char* buf, WORD bufLen);

// ---------------------------------------------------------------------------
// Add-in task.

// Writes one server-log line to standard output: date and time, the task
// name, the expanded format and, when `status` is not 0, the status text
// and number.  printf-style format.
void AddInLogMessageText(const char* format, STATUS status, ...)
    __attribute__((format(printf, 1, 3)));
// Replaces the task's status line: shown live on a terminal (standard error)
// and recorded for `tavlo show tasks`.
void AddInSetStatusText(const char* format, ...)
    __attribute__((format(printf, 1, 2)));
// TRUE once the task has been asked to stop (SIGINT, SIGTERM, or
// `tavlo tell <task> quit`).
BOOL AddInIdle(void);

// ---------------------------------------------------------------------------
// Start-up and shut-down, in the order the add-in shell calls them.

STATUS TavloInitExtended(int argc, char** argv);
void TavloTerm(void);
// Splits a command line into at most `maxArgs` arguments (in place).
int TavloSDKMAINParseArgs(char* commandLine, char** argv, int maxArgs);
STATUS TavloSDKMAINInit(void* mainEntry, int argc, char** argv,
                        void* hInstance, void* hPrevInstance);
// Fill `buf` with the text for a failure; the int is the exit code for
// InitError and "show in a window" (nonzero) for Error.
int TavloSDKMAINInitError(STATUS status, char* buf, WORD bufLen);
int TavloSDKMAINError(STATUS status, char* buf, WORD bufLen);
STATUS AddInSDKInit(int argc, char** argv);
STATUS TavloInitModule(DHANDLE* retModule, void* reserved1, void* reserved2);
// Ends the add-in context and returns `status` unchanged.
STATUS AddInSDKTerm(STATUS status);

// The data directory: $TAVLO_DATA when set, else the current directory.
// Relative database paths resolve against it.
const char* TavloDataDirectory(void);

#endif  // TAVLO_RUNTIME_H_
