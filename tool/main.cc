// Process entry of the console build of rswq.

#include "shell.h"

int main(int argc, char** argv) {
  return ShellMain(0, nullptr, nullptr, argc, argv);
}
