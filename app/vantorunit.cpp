#include "app/vantorunit.h"

#include <cstdio>

int VantorMain(int, char**) {
  std::fprintf(stderr, "vantor: not yet built\n");
  return 1;
}
