// The file of --svg, see arquivo.h.
#include "relatorio/arquivo.h"

#include "common/reclamar.h"
#include "relatorio/opcoes.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

bool abrirsvg(const char *caminho, arquivo_svg *svg)
{
    char eco[256];
    legivel(caminho, eco, sizeof eco);
    svg->caminho = caminho;
    svg->arquivo = nullptr;
    struct stat dados;
    bool existe = true;
    if (lstat(caminho, &dados) == 0 && S_ISLNK(dados.st_mode)) {
        // The link stays; the file it names gets the picture.
        if (realpath(caminho, svg->destino) == nullptr || stat(svg->destino, &dados) != 0) {
            reclamar("nao foi possivel criar %s: %s", eco, strerror(errno));
            return false;
        }
    } else if (snprintf(svg->destino, sizeof svg->destino, "%s", caminho) >=
               static_cast<int>(sizeof svg->destino)) {
        reclamar("nao foi possivel criar %s: %s", eco, strerror(ENAMETOOLONG));
        return false;
    } else if (stat(caminho, &dados) != 0) {
        if (errno != ENOENT) {
            reclamar("nao foi possivel criar %s: %s", eco, strerror(errno));
            return false;
        }
        existe = false;
    }
    if (existe && !S_ISREG(dados.st_mode)) {
        reclamar("%s nao e um arquivo comum: --svg so escreve arquivos comuns", eco);
        return false;
    }
    if (existe) {
        svg->modo = dados.st_mode & 07777;
    } else {
        mode_t mascara = umask(0);
        umask(mascara);
        svg->modo = 0666 & ~mascara;
    }
    snprintf(svg->temporario, sizeof svg->temporario, "%s.XXXXXX", svg->destino);
    int descritor = mkostemp(svg->temporario, O_CLOEXEC);
    if (descritor < 0) {
        reclamar("nao foi possivel criar %s: %s", eco, strerror(errno));
        return false;
    }
    // Root writing over another user's picture leaves it theirs; anyone
    // else cannot, and the picture is theirs as a new one would be.
    if (existe && geteuid() == 0 && fchown(descritor, dados.st_uid, dados.st_gid) != 0)
        svg->arquivo = nullptr;
    else
        svg->arquivo = fdopen(descritor, "w");
    if (svg->arquivo == nullptr) {
        reclamar("nao foi possivel criar %s: %s", eco, strerror(errno));
        close(descritor);
        unlink(svg->temporario);
        return false;
    }
    return true;
}

bool fecharsvg(arquivo_svg *svg, bool sucesso)
{
    char eco[256];
    legivel(svg->caminho, eco, sizeof eco);
    int descritor = fileno(svg->arquivo);
    // Synced before the rename: a board that loses power right after it
    // keeps the old picture or the new one, not an empty file.
    if (sucesso && (fflush(svg->arquivo) != 0 || ferror(svg->arquivo) ||
                    fchmod(descritor, svg->modo) != 0 || fsync(descritor) != 0)) {
        reclamar("falha ao escrever %s: %s", eco, strerror(errno));
        sucesso = false;
    }
    if (fclose(svg->arquivo) != 0 && sucesso) {
        reclamar("falha ao escrever %s: %s", eco, strerror(errno));
        sucesso = false;
    }
    if (sucesso && rename(svg->temporario, svg->destino) != 0) {
        reclamar("falha ao escrever %s: %s", eco, strerror(errno));
        sucesso = false;
    }
    if (!sucesso)
        unlink(svg->temporario);
    return sucesso;
}
