// The file of --svg, written so that a failed run leaves what was there:
// the picture goes to a new file beside the one named and takes its place
// only once it is complete.
#pragma once

#include <climits>
#include <cstdio>
#include <sys/types.h>

struct arquivo_svg {
    const char *caminho;            // as given, for messages
    char destino[PATH_MAX];         // the file it names, through any symlinks
    char temporario[PATH_MAX + 8];  // the new file beside it
    mode_t modo;                    // the mode destino has, or a new file gets
    FILE *arquivo;
};

// Makes the new file. Refuses, with one line on stderr, a path that names
// something other than a regular file (a device, a folder, a symlink to
// nothing) and a folder where no file can be made; nothing is touched then.
bool abrirsvg(const char *caminho, arquivo_svg *svg);

// With sucesso, writes the new file out and renames it over destino (a
// symlink stays, its target is replaced), keeping an existing file's mode;
// without, or when that fails (one line on stderr), removes the new file
// alone. Returns whether destino now holds the picture.
bool fecharsvg(arquivo_svg *svg, bool sucesso);
