// teclado's command line: nothing, --help or --version.
#pragma once

// Answers --help and --version on standard output; refuses anything else,
// an empty argument and a second argument included, with one usage line on
// standard error. Prints nothing and touches no GPIO line when there is no
// argument. Returns -1 when there is none, so the program is to run; else
// the status to exit with: 0 once answered, 1 when standard output could
// not take the answer, 2 for a refused command line.
int lerargumentos(int argc, char **argv);
