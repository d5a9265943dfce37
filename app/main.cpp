#include "app/vantorunit.h"

int main(int argc, char** argv) { return vantor::app::VantorMain(argc, argv); }
