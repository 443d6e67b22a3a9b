// Standard input, output and error for a program started with some of them
// closed (teclado >&-, a careless init script).
#pragma once

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed, so that
// no file or socket the program opens later takes one of those numbers and
// gets the console's lines, or is read as its input. modo is open()'s:
// O_RDWR lets writes to a closed output vanish (a logger that must go on),
// O_RDONLY makes them fail (a report that must say its output was lost).
// To be called before anything else opens a descriptor. Returns 0, or -1
// with errno set when /dev/null could not be opened.
int reabrirdescritores(int modo);
