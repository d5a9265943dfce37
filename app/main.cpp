#include "app/vantorunit.h"

int main(int argc, char** argv) { return VantorMain(argc, argv); }
