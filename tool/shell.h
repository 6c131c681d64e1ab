// The add-in start-up shell: brings the Tavlo runtime up, runs the add-in
// layer (TavloMain) and brings the runtime down again, turning the result
// into the process exit code.  Each layer undoes only what it set up.
//
// The runtime calls go through a table of function pointers so tests can
// make each of them fail; production code uses ShellDefaultEnv().
#ifndef RSWQ_SHELL_H_
#define RSWQ_SHELL_H_

#include "tavlo/types.h"

// The shell's message buffer and the part of it the runtime may fill.
#define SHELL_MSG_BUFFER 256
#define SHELL_MSG_LIMIT 255

// Bit of a STATUS that marks a failure the shell never shows.
#define SHELL_STATUS_QUIET ((STATUS)0x8000)

// Style of the message box on a windowed build: OK button, exclamation.
#define SHELL_MSGBOX_STYLE 0x30

struct ShellEnv {
  STATUS (*InitExtended)(int argc, char** argv);
  STATUS (*SDKMAINInit)(void* mainEntry, int argc, char** argv,
                        void* hInstance, void* hPrevInstance);
  int (*SDKMAINInitError)(STATUS status, char* buf, WORD bufLen);
  int (*SDKMAINError)(STATUS status, char* buf, WORD bufLen);
  STATUS (*Main)(int argc, char** argv);  // the add-in layer, TavloMain
  void (*Term)(void);
  void (*ShowMessage)(const char* text, int windowed);
};

// The table of real runtime calls.
const ShellEnv* ShellDefaultEnv(void);

// Runs the shell with the real runtime.
int ShellMain(int windowed, void* hInstance, void* hPrevInstance, int argc,
              char** argv);
// Same, with the given calls.
int ShellMainWithEnv(const ShellEnv* env, int windowed, void* hInstance,
                     void* hPrevInstance, int argc, char** argv);

// Shows a start-up failure: a message box on a windowed build (standard
// error where there are no message boxes), else "\r\n%s\r\n\r\n" on
// standard output.
void ShellShowMessage(const char* text, int windowed);

#endif  // RSWQ_SHELL_H_
