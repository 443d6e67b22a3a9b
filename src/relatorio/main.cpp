// teclado-relatorio: per-key summary of what teclado logged, see relatorio.h.
#include "relatorio/relatorio.h"

int main(int argc, char **argv)
{
    return relatorio(argc, argv);
}
