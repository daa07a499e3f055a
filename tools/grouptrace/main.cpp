#include "command_line.h"

int main(int argc, char* argv[]) {
  return grouptrace::runCommandLine(argc, argv);
}
