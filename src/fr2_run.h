// One run of the scanner: the command line, start-up, the walk and its end.
#pragma once

// Runs fsrake2 with these arguments and returns its exit status. Never exits
// the process itself, but for the watchdog's forced exit and a failed output
// write, which end the run where they happen.
int fr2_main(int argc, char **argv);
