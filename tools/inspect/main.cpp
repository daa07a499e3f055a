#include "inspect_command.h"

int main(int argc, char* argv[]) {
  return grouptrace::runInspect(argc, argv);
}
