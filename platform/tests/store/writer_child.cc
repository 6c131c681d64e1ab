// Test child of the recovery tests: opens a database for writing, saves
// documents (number "Status" = FIRST, FIRST+1, ...), writes one byte to
// standard output after each save returns, and dies by SIGKILL, never
// closing the database: a writer that crashed.  KIND and AT arm the
// store's kill hook (a crash inside a commit or a checkpoint).
//
//   store_writer_child PATH FIRST COUNT [KIND AT]
#include <signal.h>
#include <unistd.h>

#include <cstdlib>

#include "tavlo/store.h"
#include "tavlo/testing.h"

int main(int argc, char** argv) {
  if (argc != 4 && argc != 6) return 2;
  const double first = atof(argv[2]);
  const int count = atoi(argv[3]);
  DBHANDLE db = 0;
  if (QDSDbOpen(argv[1], &db) != NOERROR) return 3;
  if (argc == 6) QDSTestKillAt(static_cast<WORD>(atoi(argv[4])), static_cast<DWORD>(atol(argv[5])));
  for (int i = 0; i < count; i++) {
    NOTEHANDLE note = 0;
    double v = first + i;
    if (QDSNoteCreate(db, &note) != NOERROR ||
        QDSItemAppend(note, ITEM_SUMMARY, "Status", 6, TYPE_NUMBER, &v, 8) != NOERROR ||
        QDSNoteUpdate(note, 0) != NOERROR)
      return 4;
    QDSNoteClose(note);
    if (write(1, "s", 1) != 1) return 5;
  }
  raise(SIGKILL);
  return 6;
}
