// STATUS codes of the Tavlo runtime and of the work-queue libraries that run
// on it.  0 is success.  Bit 0x8000 marks a code that the start-up shell
// never shows to the operator.  Every code here has a message text
// (TavloStatusText); keep the table in runtime/status_text.cc in step.
#ifndef TAVLO_STATUS_H_
#define TAVLO_STATUS_H_

#include "tavlo/types.h"

#define NOERROR ((STATUS)0)

// Runtime: memory, lists, start-up.
#define ERR_MEMORY ((STATUS)0x0101)          // a block could not be allocated
#define ERR_BAD_HANDLE ((STATUS)0x0102)      // unknown or freed memory handle
#define ERR_NOEXIST ((STATUS)0x0103)         // 259: database file does not exist
#define ERR_LOCKED ((STATUS)0x0104)          // block is locked and cannot be resized
#define ERR_BAD_ARG ((STATUS)0x0105)         // an argument is out of range
#define ERR_LIST_INDEX ((STATUS)0x0106)      // text list index past its last entry
#define ERR_LIST_FULL ((STATUS)0x0107)       // text list would pass 65535 bytes
#define ERR_LIST_CORRUPT ((STATUS)0x0108)    // counts and lengths overrun the list
#define ERR_INIT_FAILED ((STATUS)0x0109)     // runtime cannot start
#define ERR_NOT_INITED ((STATUS)0x010A)      // runtime used before start-up
#define ERR_DATA_DIR ((STATUS)0x010B)        // data directory unusable
#define ERR_SETTING ((STATUS)0x010C)         // an environment setting has no meaning
#define ERR_NO_FILES ((STATUS)0x010D)        // the process may open no more files

// Document store.
#define ERR_ITEM_NOT_FOUND ((STATUS)0x0222)  // 546: no item of that name
#define ERR_NOTE_NOT_FOUND ((STATUS)0x0223)  // no document with that note id
#define ERR_BAD_NOTE ((STATUS)0x0224)        // unknown or closed document handle
#define ERR_BAD_DB ((STATUS)0x0225)          // unknown or closed database handle
#define ERR_NOT_A_DB ((STATUS)0x0226)        // file is not a store database
#define ERR_DB_BUSY ((STATUS)0x0227)         // another process holds it for writing
#define ERR_DB_EXISTS ((STATUS)0x0228)       // create over an existing file
#define ERR_DB_IO ((STATUS)0x0229)           // the file cannot be read or written
#define ERR_DB_CORRUPT ((STATUS)0x022A)      // the database file is damaged
#define ERR_OBJECT_NOT_FOUND ((STATUS)0x022B)
#define ERR_OBJECT_RANGE ((STATUS)0x022C)    // write or read past an object's end
#define ERR_ITEM_TOO_BIG ((STATUS)0x022D)    // value over the item size limit
#define ERR_NOTE_DELETED ((STATUS)0x022E)    // document was deleted meanwhile
#define ERR_VIEW_NOT_FOUND ((STATUS)0x022F)  // no view of that title
#define ERR_BAD_COLLECTION ((STATUS)0x0230)  // unknown or closed collection
#define ERR_DB_PATH ((STATUS)0x0231)         // path too long or not usable
#define ERR_DB_READONLY ((STATUS)0x0232)     // file not writable, or opened read-only
#define ERR_DISK_FULL ((STATUS)0x0233)       // no room left to write the file
#define ERR_DB_UNCLEAN ((STATUS)0x0234)      // not closed cleanly; its unsaved changes are missing
#define ERR_DB_FOREIGN_WAL ((STATUS)0x0235)  // recovery data does not belong to this database
#define ERR_DB_SIDECAR ((STATUS)0x0236)      // a file beside the database is not usable

// Formula language.
#define ERR_FORMULA_SYNTAX ((STATUS)0x0301)  // formula has a syntax error
#define ERR_FORMULA_TOO_BIG ((STATUS)0x0302)
#define ERR_BAD_FORMULA ((STATUS)0x0303)     // not a compiled formula handle

// Work-queue store library.
#define ERR_WQS_GENERAL ((STATUS)0x33DF)       // 13279: memory, array, oversized chunk
#define ERR_WQS_NO_QUEUE ((STATUS)0x33E0)      // 13280: queue file missing, no create
#define ERR_WQS_NO_TEMPLATE ((STATUS)0x33E1)   // 13281: template cannot be opened
#define ERR_WQS_NO_MESSAGES ((STATUS)0x33E2)   // 13282: view selection is empty
#define ERR_WQS_NO_FIELD ((STATUS)0x33E3)      // 13283: typed field not found
#define ERR_WQS_CORRUPT ((STATUS)0x33E4)       // 13284: stored value short or inconsistent
#define ERR_WQS_RECIP_RANGE ((STATUS)0x33E5)   // 13285: recipient index past the lists
#define ERR_WQS_NAME_TOO_LONG ((STATUS)0x33E6) // 13286: stream or file name too long

// Writes the message text of `status` (zero-terminated, cut to fit) into
// `buf` of `bufLen` bytes and returns its length.  Unknown codes get a
// generic text that names the number.
WORD TavloStatusText(STATUS status, char* buf, WORD bufLen);

#endif  // TAVLO_STATUS_H_
