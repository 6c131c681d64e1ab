// The add-in layer between the shell and the tool: it sets up the add-in
// task context, runs AddInMain and ends the context.  The context is ended
// only when it was set up.

#include "rswq.h"
#include "tavlo/runtime.h"

namespace {

const AddInEnv kDefaultEnv = {AddInSDKInit, TavloInitModule, AddInMain,
                              AddInSDKTerm};

}  // namespace

const AddInEnv* AddInDefaultEnv(void) { return &kDefaultEnv; }

STATUS TavloMain(int argc, char** argv) {
  return TavloMainWithEnv(&kDefaultEnv, argc, argv);
}

STATUS TavloMainWithEnv(const AddInEnv* env, int argc, char** argv) {
  STATUS err = env->SDKInit(argc, argv);
  if (err != NOERROR) return err;

  DHANDLE hModule = NULLHANDLE;
  (void)env->InitModule(&hModule, nullptr, nullptr);

  err = env->Main(hModule, argc, argv);
  // The tool's STATUS reaches the shell through the context's end.
  return env->SDKTerm(err);
}
