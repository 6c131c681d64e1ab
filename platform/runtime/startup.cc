// Start-up and shut-down calls of the add-in shell, and the texts it shows
// when they fail.

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>

#include "addin.h"
#include "tavlo/runtime.h"

namespace {

// Any nonzero value: the shell only passes it on to the tool.  Its index
// bits are 0, so it can never be mistaken for a memory handle.
constexpr DHANDLE kModuleHandle = 0x7A400000;

int TextInto(char* buf, WORD bufLen, const char* prefix, STATUS status) {
  if (buf == nullptr || bufLen == 0) return 0;
  char text[256];
  TavloStatusText(status, text, sizeof text);
  return std::snprintf(buf, bufLen, "%s%s", prefix, text);
}

}  // namespace

STATUS TavloInitExtended(int argc, char** argv) {
  if (argc > 0 && argv != nullptr) tavlo_rt::SetTaskName(argv[0]);
  // A data directory named but missing would make every relative database
  // path fail later with a less helpful error.
  const char* data = std::getenv("TAVLO_DATA");
  if (data != nullptr && data[0] != '\0') {
    struct stat st;
    if (stat(data, &st) != 0 || !S_ISDIR(st.st_mode)) return ERR_DATA_DIR;
  }
  return NOERROR;
}

void TavloTerm(void) {
  std::fflush(stdout);
}

int TavloSDKMAINParseArgs(char* commandLine, char** argv, int maxArgs) {
  if (commandLine == nullptr || argv == nullptr || maxArgs <= 0) return 0;
  int argc = 0;
  char* in = commandLine;
  while (argc < maxArgs) {
    while (*in == ' ' || *in == '\t') ++in;
    if (*in == '\0') break;
    // Copy the argument down over itself, dropping the quotes; blanks
    // inside quotes belong to the argument.
    char* out = in;
    argv[argc++] = out;
    bool quoted = false;
    while (*in != '\0' && (quoted || (*in != ' ' && *in != '\t'))) {
      if (*in == '"') {
        quoted = !quoted;
        ++in;
        continue;
      }
      *out++ = *in++;
    }
    bool last = *in == '\0';
    *out = '\0';
    if (last) break;
    ++in;
  }
  if (argc < maxArgs) argv[argc] = nullptr;
  return argc;
}

STATUS TavloSDKMAINInit(void* mainEntry, int argc, char** argv,
                        void* hInstance, void* hPrevInstance) {
  return NOERROR;
}

int TavloSDKMAINInitError(STATUS status, char* buf, WORD bufLen) {
  TextInto(buf, bufLen, "Unable to start the Tavlo runtime: ", status);
  return -1;
}

int TavloSDKMAINError(STATUS status, char* buf, WORD bufLen) {
  TextInto(buf, bufLen, "", status);
  return 1;  // a windowed build shows the text in a message box
}

STATUS TavloInitModule(DHANDLE* retModule, void* reserved1, void* reserved2) {
  if (retModule != nullptr) *retModule = kModuleHandle;
  return NOERROR;
}
