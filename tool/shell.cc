// The add-in start-up shell.  Order of a run: TavloInitExtended,
// TavloSDKMAINInit, TavloMain, TavloTerm.  A runtime that never came up is
// not shut down; one that came up is shut down even when the toolkit layer
// above it failed.

#include "shell.h"

#include <cstdio>

#include "rswq.h"
#include "tavlo/runtime.h"

#ifdef _WIN32
#include <windows.h>
#endif

// The process entry; the toolkit start-up is told where it is.
int main(int argc, char** argv);

namespace {

const ShellEnv kDefaultEnv = {
    TavloInitExtended, TavloSDKMAINInit, TavloSDKMAINInitError,
    TavloSDKMAINError, TavloMain,        TavloTerm,
    ShellShowMessage,
};

bool Shown(STATUS status) { return (status & SHELL_STATUS_QUIET) == 0; }

}  // namespace

const ShellEnv* ShellDefaultEnv(void) { return &kDefaultEnv; }

int ShellMain(int windowed, void* hInstance, void* hPrevInstance, int argc,
              char** argv) {
  return ShellMainWithEnv(&kDefaultEnv, windowed, hInstance, hPrevInstance,
                          argc, argv);
}

int ShellMainWithEnv(const ShellEnv* env, int windowed, void* hInstance,
                     void* hPrevInstance, int argc, char** argv) {
  char msg[SHELL_MSG_BUFFER];
  msg[0] = '\0';

  STATUS err = env->InitExtended(argc, argv);
  if (err != NOERROR) {
    // The runtime is not up: nothing to shut down.  Its error call decides
    // the exit code, since it knows why it could not start.
    int code = env->SDKMAINInitError(err, msg, SHELL_MSG_LIMIT);
    msg[SHELL_MSG_BUFFER - 1] = '\0';
    if (Shown(err)) env->ShowMessage(msg, windowed);
    return code;
  }

  err = env->SDKMAINInit(reinterpret_cast<void*>(&main), argc, argv,
                         hInstance, hPrevInstance);
  if (err == NOERROR) {
    err = env->Main(argc, argv);
    if (err != NOERROR && Shown(err)) {
      int inWindow = env->SDKMAINError(err, msg, SHELL_MSG_LIMIT);
      msg[SHELL_MSG_BUFFER - 1] = '\0';
      // A 0 answer means "not for a window": the text goes to standard
      // output even on a windowed build.
      env->ShowMessage(msg, inWindow != 0 ? windowed : 0);
    }
  }
  // A failed toolkit start-up is not shown: the runtime already said why.

  env->Term();
  return err == NOERROR ? 0 : -1;
}

void ShellShowMessage(const char* text, int windowed) {
  if (windowed) {
#ifdef _WIN32
    MessageBoxA(NULL, text, "", SHELL_MSGBOX_STYLE);
#else
    // No message boxes here: the operator of a windowed start reads
    // standard error instead.
    std::fprintf(stderr, "\r\n%s\r\n\r\n", text);
    std::fflush(stderr);
#endif
    return;
  }
  std::fprintf(stdout, "\r\n%s\r\n\r\n", text);
  std::fflush(stdout);
}

#ifdef _WIN32
int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance,
                   LPSTR lpCmdLine, int nCmdShow) {
  char* argv[20];
  int argc = TavloSDKMAINParseArgs(lpCmdLine, argv, 20);
  return ShellMain(1, hInstance, hPrevInstance, argc, argv);
}
#endif
