// The store's SQLite schema and the check that a file is one of ours.
// The layout and its reasons are described at the top of schema.cc.
#ifndef TAVLO_STORE_SCHEMA_H_
#define TAVLO_STORE_SCHEMA_H_

#include <sqlite3.h>

#include "tavlo/status.h"

namespace tavlo::store {

extern const char kFormatMarker[];
extern const int kFormatVersion;
extern const char kSchemaSql[];
extern const char kIndexSchemaSql[];

// ERR_NOT_A_DB unless the connection's file carries our meta marker and a
// version we read; ERR_DB_BUSY when another process holds the file.
// Reads only: a foreign file is left exactly as it was.
STATUS SchemaCheck(sqlite3* db);

}  // namespace tavlo::store

#endif  // TAVLO_STORE_SCHEMA_H_
