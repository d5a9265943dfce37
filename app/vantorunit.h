// The batch run: command line, run control and result saving.
#ifndef VANTOR_APP_VANTORUNIT_H
#define VANTOR_APP_VANTORUNIT_H

// Runs the whole program on the process arguments and returns its exit status.
int VantorMain(int argc, char** argv);

#endif
