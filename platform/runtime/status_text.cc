// Message texts of every STATUS code in status.h.  Keep in step with it:
// the runtime tests check that each code there has a text of its own.

#include <cstdio>
#include <cstring>

#include "tavlo/status.h"

namespace {

struct StatusText {
  STATUS code;
  const char* text;
};

constexpr StatusText kTexts[] = {
    {NOERROR, "No error"},
    // Runtime.
    {ERR_MEMORY, "Insufficient memory"},
    {ERR_BAD_HANDLE, "Invalid or freed memory handle"},
    {ERR_NOEXIST, "File does not exist"},
    {ERR_LOCKED, "Memory block is locked and cannot be resized"},
    {ERR_BAD_ARG, "Invalid argument"},
    {ERR_LIST_INDEX, "Text list index is past the last entry"},
    {ERR_LIST_FULL, "Text list would exceed 65535 bytes"},
    {ERR_LIST_CORRUPT, "Text list is damaged: counts and lengths overrun it"},
    {ERR_INIT_FAILED, "The Tavlo runtime could not be started"},
    {ERR_NOT_INITED, "The Tavlo runtime has not been started"},
    {ERR_DATA_DIR, "Data directory does not exist or cannot be used"},
    {ERR_SETTING, "An environment setting has a value with no meaning"},
    {ERR_NO_FILES, "Too many open files"},
    // Document store.
    {ERR_ITEM_NOT_FOUND, "Item not found"},
    {ERR_NOTE_NOT_FOUND, "Document not found"},
    {ERR_BAD_NOTE, "Invalid or closed document handle"},
    {ERR_BAD_DB, "Invalid or closed database handle"},
    {ERR_NOT_A_DB, "File is not a Tavlo database"},
    {ERR_DB_BUSY, "Database is in use by another process"},
    {ERR_DB_EXISTS, "Database file already exists"},
    {ERR_DB_IO, "Database file cannot be read or written"},
    {ERR_DB_CORRUPT, "Database file is damaged"},
    {ERR_OBJECT_NOT_FOUND, "Database object not found"},
    {ERR_OBJECT_RANGE, "Read or write past the end of a database object"},
    {ERR_ITEM_TOO_BIG, "Item value is too large"},
    {ERR_NOTE_DELETED, "Document has been deleted"},
    {ERR_VIEW_NOT_FOUND, "View not found"},
    {ERR_BAD_COLLECTION, "Invalid or closed view collection"},
    {ERR_DB_PATH, "Database path is too long or cannot be used"},
    {ERR_DB_READONLY, "Database is read-only and cannot be changed"},
    {ERR_DISK_FULL, "Disk full: no room to write the database file"},
    {ERR_DB_UNCLEAN,
     "Database was not closed cleanly and its unsaved changes are missing"},
    {ERR_DB_FOREIGN_WAL, "Recovery data does not belong to this database"},
    {ERR_DB_SIDECAR,
     "A file beside the database (WAL or its index) cannot be used"},
    // Formula language.
    {ERR_FORMULA_SYNTAX, "Formula has a syntax error"},
    {ERR_FORMULA_TOO_BIG, "Formula is too large"},
    {ERR_BAD_FORMULA, "Invalid compiled formula handle"},
    // Work-queue store library.
    {ERR_WQS_GENERAL, "Work queue: memory or internal table failure"},
    {ERR_WQS_NO_QUEUE,
     "Queue database does not exist and was not to be created"},
    {ERR_WQS_NO_TEMPLATE, "Queue template database cannot be opened"},
    {ERR_WQS_NO_MESSAGES, "No messages selected by the view"},
    {ERR_WQS_NO_FIELD, "Field not found in message"},
    {ERR_WQS_CORRUPT, "Stored message value is truncated or inconsistent"},
    {ERR_WQS_RECIP_RANGE, "Recipient index is past the recipient lists"},
    {ERR_WQS_NAME_TOO_LONG, "Stream or file name is too long"},
};

}  // namespace

WORD TavloStatusText(STATUS status, char* buf, WORD bufLen) {
  if (buf == nullptr || bufLen == 0) return 0;
  // Bit 0x8000 only says whether to show the code; it is not part of it.
  STATUS code = static_cast<STATUS>(status & 0x7FFF);
  const char* text = nullptr;
  for (const StatusText& t : kTexts) {
    if (t.code == code) {
      text = t.text;
      break;
    }
  }
  int n = text != nullptr
              ? std::snprintf(buf, bufLen, "%s", text)
              : std::snprintf(buf, bufLen, "Unknown error (status %u)",
                              static_cast<unsigned>(code));
  if (n < 0) n = 0;
  return static_cast<WORD>(n < bufLen ? n : bufLen - 1);
}
