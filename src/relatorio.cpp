// teclado-relatorio: the server pairs each press with the next event of
// its key and sums the pairs per key; this program only asks, lays the
// sixteen lines out in the keypad's order and draws the picture.
#include "relatorio.h"

#include "common/reclamar.h"
#include "config.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <mysql.h>
#include <unistd.h>

// The keypad's codes row by row, as teclado's Teclado table has them.
const int Teclas[4][4] = {
    {1, 2, 3, 14},
    {4, 5, 6, 24},
    {7, 8, 9, 34},
    {41, 0, 43, 44},
};

// What the server sums up for one key over the period.
struct resumo_tecla {
    long long pressoes;   // presses paired with their release
    long long soma_ms;    // their holds added up
    long long maior_ms;   // the longest hold
    long long sem_par;    // presses and releases left without a partner
    long long ultima;     // latest press, paired or not (ms, TO_SECONDS scale)
    long long primeira_par, ultima_par; // first and latest paired press
    bool tem_ultima;
};

resumo_tecla resumo[4][4];
resumo_tecla total;
long long barras[RELATORIO_BARRAS_MAX];
int nbarras;
long long horas_por_barra;
long long inicio_barras; // ms, TO_SECONDS scale

// The command line.
const char *opcao_desde, *opcao_ate, *opcao_svg, *opcao_host, *opcao_socket, *opcao_usuario;
unsigned int opcao_porta;
bool opcao_tsv;
// The period in ms on the TO_SECONDS scale, both ends included.
long long periodo_de, periodo_ate;

MYSQL banco;

constexpr long long MS_POR_DIA = 86400000LL;
constexpr long long MS_POR_HORA = 3600000LL;
// TO_DAYS('1970-01-01'): the server counts days from year 0.
constexpr long long DIAS_ATE_1970 = 719528;

long long diasdesde1970(int ano, int mes, int dia)
{
    long long a = ano - (mes <= 2);
    long long era = (a >= 0 ? a : a - 399) / 400;
    long long ano_da_era = a - era * 400;
    long long dia_do_ano = (153 * (mes + (mes > 2 ? -3 : 9)) + 2) / 5 + dia - 1;
    long long dia_da_era = ano_da_era * 365 + ano_da_era / 4 - ano_da_era / 100 + dia_do_ano;
    return era * 146097 + dia_da_era - 719468;
}

void diadecalendario(long long dias, int *ano, int *mes, int *dia)
{
    dias += 719468;
    long long era = (dias >= 0 ? dias : dias - 146096) / 146097;
    long long dia_da_era = dias - era * 146097;
    long long ano_da_era =
        (dia_da_era - dia_da_era / 1460 + dia_da_era / 36524 - dia_da_era / 146096) / 365;
    long long dia_do_ano = dia_da_era - (365 * ano_da_era + ano_da_era / 4 - ano_da_era / 100);
    long long m = (5 * dia_do_ano + 2) / 153;
    *dia = static_cast<int>(dia_do_ano - (153 * m + 2) / 5 + 1);
    *mes = static_cast<int>(m < 10 ? m + 3 : m - 9);
    *ano = static_cast<int>(ano_da_era + era * 400 + (*mes <= 2));
}

bool lerdata(const char *texto, long long *dias)
{
    static const char molde[] = "DDDD-DD-DD";
    if (strlen(texto) != sizeof molde - 1)
        return false;
    for (size_t i = 0; i < sizeof molde - 1; i++) {
        bool digito = texto[i] >= '0' && texto[i] <= '9';
        if (molde[i] == 'D' ? !digito : texto[i] != molde[i])
            return false;
    }
    int ano = atoi(texto), mes = atoi(texto + 5), dia = atoi(texto + 8);
    if (ano < 1000 || mes < 1 || mes > 12 || dia < 1 || dia > 31)
        return false;
    // A day past the end of its month comes back as another day.
    long long n = diasdesde1970(ano, mes, dia);
    int a, m, d;
    diadecalendario(n, &a, &m, &d);
    if (a != ano || m != mes || d != dia)
        return false;
    *dias = n;
    return true;
}

void escreverinstante(long long instante_ms, char *texto, size_t tamanho)
{
    long long dias = instante_ms / MS_POR_DIA, resto = instante_ms % MS_POR_DIA;
    int ano, mes, dia;
    diadecalendario(dias - DIAS_ATE_1970, &ano, &mes, &dia);
    snprintf(texto, tamanho, "%04d-%02d-%02d %02d:%02d:%02d.%03d", ano, mes, dia,
             static_cast<int>(resto / MS_POR_HORA), static_cast<int>(resto / 60000 % 60),
             static_cast<int>(resto / 1000 % 60), static_cast<int>(resto % 1000));
}

static void mostraruso(FILE *saida)
{
    fputs("uso: teclado-relatorio [--desde AAAA-MM-DD] [--ate AAAA-MM-DD] [--tsv] [--svg ARQUIVO]\n"
          "                         [--host H] [--port N] [--socket S] [--user U]\n"
          "Pressoes por tecla do registro de teclado (tabela estado): quantas, duracao media e\n"
          "maxima em ms, a ultima, e os eventos sem par (pressao sem soltura ou o contrario).\n"
          "--desde e --ate sao dias inteiros, ambos incluidos. A senha vem de MYSQL_PWD ou do\n"
          "grupo [client] dos arquivos de opcoes, como no cliente mariadb.\n",
          saida);
}

// Reads the command line into the opcao_ variables and the period.
// Returns RELATORIO_OK, or RELATORIO_USO after one line on stderr.
static int lerargumentos(int argc, char **argv)
{
    enum { DESDE = 1, ATE, TSV, SVG, HOST, PORTA, SOCKET, USUARIO, AJUDA };
    static const struct option opcoes[] = {
        {"desde", required_argument, nullptr, DESDE}, {"ate", required_argument, nullptr, ATE},
        {"tsv", no_argument, nullptr, TSV},           {"svg", required_argument, nullptr, SVG},
        {"host", required_argument, nullptr, HOST},   {"port", required_argument, nullptr, PORTA},
        {"socket", required_argument, nullptr, SOCKET},
        {"user", required_argument, nullptr, USUARIO},
        {"help", no_argument, nullptr, AJUDA},        {nullptr, 0, nullptr, 0},
    };
    opterr = 0;
    int opcao;
    // "+": options stop at the first other argument, which is then refused.
    while ((opcao = getopt_long(argc, argv, "+:", opcoes, nullptr)) != -1) {
        const char *valor = optarg;
        if (opcao == '?') {
            reclamar("opcao desconhecida: %s (veja --help)", argv[optind - 1]);
            return RELATORIO_USO;
        }
        if (opcao == ':') {
            reclamar("falta o valor de %s", argv[optind - 1]);
            return RELATORIO_USO;
        }
        if (valor != nullptr && valor[0] == '\0') {
            reclamar("valor vazio para a opcao %s", argv[optind - 1]);
            return RELATORIO_USO;
        }
        switch (opcao) {
        case DESDE: opcao_desde = valor; break;
        case ATE: opcao_ate = valor; break;
        case TSV: opcao_tsv = true; break;
        case SVG: opcao_svg = valor; break;
        case HOST: opcao_host = valor; break;
        case SOCKET: opcao_socket = valor; break;
        case USUARIO: opcao_usuario = valor; break;
        case PORTA: {
            char *fim;
            errno = 0;
            unsigned long porta = strtoul(valor, &fim, 10);
            if (errno != 0 || *fim != '\0' || valor[0] < '0' || valor[0] > '9' || porta < 1 ||
                porta > 65535) {
                reclamar("porta invalida: %s (de 1 a 65535)", valor);
                return RELATORIO_USO;
            }
            opcao_porta = static_cast<unsigned int>(porta);
            break;
        }
        case AJUDA: mostraruso(stdout); exit(RELATORIO_OK);
        }
    }
    if (optind < argc) {
        reclamar("argumento inesperado: %s (veja --help)", argv[optind]);
        return RELATORIO_USO;
    }
    long long dias;
    periodo_de = 0;
    periodo_ate = 9223372036854775807LL;
    if (opcao_desde != nullptr) {
        if (!lerdata(opcao_desde, &dias)) {
            reclamar("data invalida para --desde: %s (use AAAA-MM-DD)", opcao_desde);
            return RELATORIO_USO;
        }
        periodo_de = (dias + DIAS_ATE_1970) * MS_POR_DIA;
    }
    if (opcao_ate != nullptr) {
        if (!lerdata(opcao_ate, &dias)) {
            reclamar("data invalida para --ate: %s (use AAAA-MM-DD)", opcao_ate);
            return RELATORIO_USO;
        }
        // The whole day: a user who asks up to a day means that day too.
        periodo_ate = (dias + 1 + DIAS_ATE_1970) * MS_POR_DIA - 1;
    }
    if (periodo_de > periodo_ate) {
        reclamar("--desde depois de --ate: %s", opcao_desde);
        return RELATORIO_USO;
    }
    return RELATORIO_OK;
}

// Logs in as teclado does unless told otherwise. The [client] group of the
// option files may name the user, password and server, the way the mariadb
// client reads them; the command line beats them, and MYSQL_UNIX_PORT beats
// a socket named there (Debian's own files name the system server's).
static bool conectar(void)
{
    if (mysql_init(&banco) == nullptr) {
        reclamar("sem memoria para o cliente do banco");
        return false;
    }
    unsigned int limite_conexao = BANCO_LIMITE_CONEXAO_S;
    unsigned int limite_leitura = RELATORIO_LIMITE_LEITURA_S;
    unsigned int limite_escrita = BANCO_LIMITE_ESCRITA_S;
    mysql_options(&banco, MYSQL_OPT_CONNECT_TIMEOUT, &limite_conexao);
    mysql_options(&banco, MYSQL_OPT_READ_TIMEOUT, &limite_leitura);
    mysql_options(&banco, MYSQL_OPT_WRITE_TIMEOUT, &limite_escrita);
    // Defaults first: the option files, read while connecting, override them.
    mysql_optionsv(&banco, MARIADB_OPT_HOST, BANCO_HOST);
    mysql_optionsv(&banco, MARIADB_OPT_USER, BANCO_USUARIO);
    mysql_options(&banco, MYSQL_READ_DEFAULT_GROUP, "client");
    const char *socket = opcao_socket != nullptr ? opcao_socket : getenv("MYSQL_UNIX_PORT");
    if (socket != nullptr && socket[0] == '\0')
        socket = nullptr;
    // No password of ours: this program may be readable by every user.
    if (mysql_real_connect(&banco, opcao_host, opcao_usuario, nullptr, BANCO_NOME, opcao_porta,
                           socket, 0) == nullptr) {
        reclamar("sem conexao com o banco: %s", mysql_error(&banco));
        mysql_close(&banco);
        return false;
    }
    return true;
}

// Each event as x: its instant in ms on the TO_SECONDS scale, positive for a
// press and negative for a release, with prox, the same of the key's next
// row. Only numbers go through the server's sort, and each DATA text is read
// once.
static const char EVENTOS[] =
    "(SELECT TECLA, x, LEAD(x) OVER (PARTITION BY TECLA ORDER BY id) AS prox"
    " FROM (SELECT TECLA, id, IF(ESTADO = 'ON', 1, -1)"
    " * (TO_SECONDS(STR_TO_DATE(LEFT(DATA, 24), '%a %b %e %H:%i:%s %Y')) * 1000 + ms) AS x"
    " FROM estado WHERE ESTADO IN ('ON', 'OFF')) s) e";
// A press whose key's next event is a release; the last row of a key has no
// next event.
static const char PAR[] = "(x > 0 AND COALESCE(prox, 0) < 0)";

static bool consultar(const char *comando)
{
    if (mysql_query(&banco, comando) != 0) {
        reclamar("consulta recusada pelo banco: %s", mysql_error(&banco));
        return false;
    }
    return true;
}

static long long numero(const char *campo)
{
    return campo != nullptr ? strtoll(campo, nullptr, 10) : 0;
}

static resumo_tecla *resumodatecla(long long tecla)
{
    for (int l = 0; l < 4; l++)
        for (int c = 0; c < 4; c++)
            if (Teclas[l][c] == tecla)
                return &resumo[l][c];
    return nullptr;
}

// Fills resumo and total. A pair counts in the period of its press; a
// release left alone, in its own. A pair whose press lies before the period
// and whose release inside it counts nowhere.
static bool resumir(void)
{
    char dentro[96], par_fecha_dentro[96], comando[RELATORIO_SQL_MAX];
    snprintf(dentro, sizeof dentro, "(ABS(x) BETWEEN %lld AND %lld)", periodo_de, periodo_ate);
    snprintf(par_fecha_dentro, sizeof par_fecha_dentro, "(-prox BETWEEN %lld AND %lld)",
             periodo_de, periodo_ate);
    int n = snprintf(
        comando, sizeof comando,
        "SELECT TECLA, SUM(%s AND %s), SUM(IF(%s AND %s, -prox - x, 0)),"
        " MAX(IF(%s AND %s, -prox - x, NULL)), MAX(IF(x > 0 AND %s, x, NULL)),"
        " SUM(IF(x > 0, NOT %s, 1) AND %s) - SUM(%s AND %s),"
        " MIN(IF(%s AND %s, x, NULL)), MAX(IF(%s AND %s, x, NULL))"
        " FROM %s GROUP BY TECLA",
        PAR, dentro, PAR, dentro, PAR, dentro, dentro, PAR, dentro, PAR, par_fecha_dentro, PAR,
        dentro, PAR, dentro, EVENTOS);
    if (n < 0 || n >= static_cast<int>(sizeof comando)) {
        reclamar("consulta maior que RELATORIO_SQL_MAX");
        return false;
    }
    if (!consultar(comando))
        return false;
    MYSQL_RES *resultado = mysql_use_result(&banco);
    if (resultado == nullptr) {
        reclamar("sem resposta do banco: %s", mysql_error(&banco));
        return false;
    }
    MYSQL_ROW linha;
    while ((linha = mysql_fetch_row(resultado)) != nullptr) {
        resumo_tecla *r = resumodatecla(numero(linha[0]));
        // Codes teclado never writes are no key of the keypad.
        if (r == nullptr)
            continue;
        r->pressoes = numero(linha[1]);
        r->soma_ms = numero(linha[2]);
        r->maior_ms = numero(linha[3]);
        r->tem_ultima = linha[4] != nullptr;
        r->ultima = numero(linha[4]);
        r->sem_par = numero(linha[5]);
        r->primeira_par = numero(linha[6]);
        r->ultima_par = numero(linha[7]);
    }
    // A row that stops coming (a read timeout) ends the loop like the last.
    bool completo = mysql_errno(&banco) == 0;
    if (!completo)
        reclamar("resposta do banco interrompida: %s", mysql_error(&banco));
    mysql_free_result(resultado);

    for (int l = 0; l < 4; l++)
        for (int c = 0; c < 4; c++) {
            const resumo_tecla &r = resumo[l][c];
            if (r.pressoes > 0) {
                if (total.pressoes == 0 || r.maior_ms > total.maior_ms)
                    total.maior_ms = r.maior_ms;
                if (total.pressoes == 0 || r.primeira_par < total.primeira_par)
                    total.primeira_par = r.primeira_par;
                if (total.pressoes == 0 || r.ultima_par > total.ultima_par)
                    total.ultima_par = r.ultima_par;
                total.pressoes += r.pressoes;
                total.soma_ms += r.soma_ms;
            }
            if (r.tem_ultima && (!total.tem_ultima || r.ultima > total.ultima)) {
                total.ultima = r.ultima;
                total.tem_ultima = true;
            }
            total.sem_par += r.sem_par;
        }
    return completo;
}

// Fills barras: paired presses per hour, from the period's first hour (or
// the first press's) to its last (or the latest press's). A period too long
// for RELATORIO_BARRAS_MAX bars puts several hours in each.
static bool contarporhora(void)
{
    nbarras = 0;
    if (total.pressoes == 0)
        return true;
    long long de = opcao_desde != nullptr ? periodo_de : total.primeira_par;
    long long ate = opcao_ate != nullptr ? periodo_ate : total.ultima_par;
    inicio_barras = de - de % MS_POR_HORA;
    long long horas = (ate - inicio_barras) / MS_POR_HORA + 1;
    horas_por_barra = (horas + RELATORIO_BARRAS_MAX - 1) / RELATORIO_BARRAS_MAX;
    nbarras = static_cast<int>((horas + horas_por_barra - 1) / horas_por_barra);

    char dentro[96], comando[RELATORIO_SQL_MAX];
    snprintf(dentro, sizeof dentro, "(ABS(x) BETWEEN %lld AND %lld)", periodo_de, periodo_ate);
    int n = snprintf(comando, sizeof comando,
                     "SELECT (x - %lld) DIV %lld, COUNT(*) FROM %s WHERE %s AND %s GROUP BY 1",
                     inicio_barras, horas_por_barra * MS_POR_HORA, EVENTOS, PAR, dentro);
    if (n < 0 || n >= static_cast<int>(sizeof comando)) {
        reclamar("consulta maior que RELATORIO_SQL_MAX");
        return false;
    }
    if (!consultar(comando))
        return false;
    MYSQL_RES *resultado = mysql_use_result(&banco);
    if (resultado == nullptr) {
        reclamar("sem resposta do banco: %s", mysql_error(&banco));
        return false;
    }
    MYSQL_ROW linha;
    while ((linha = mysql_fetch_row(resultado)) != nullptr) {
        long long barra = numero(linha[0]);
        if (barra >= 0 && barra < nbarras)
            barras[barra] += numero(linha[1]);
    }
    bool completo = mysql_errno(&banco) == 0;
    if (!completo)
        reclamar("resposta do banco interrompida: %s", mysql_error(&banco));
    mysql_free_result(resultado);
    return completo;
}

// The columns of one line as texts; media and maior empty with no pair,
// ultima empty with no press.
static void colunas(const resumo_tecla &r, char *media, char *maior, char *ultima)
{
    media[0] = maior[0] = ultima[0] = '\0';
    if (r.pressoes > 0) {
        snprintf(media, 24, "%lld",
                 static_cast<long long>(llround(static_cast<double>(r.soma_ms) / r.pressoes)));
        snprintf(maior, 24, "%lld", r.maior_ms);
    }
    if (r.tem_ultima)
        escreverinstante(r.ultima, ultima, 24);
}

static void escreverperiodo(char *texto, size_t tamanho)
{
    if (opcao_desde != nullptr && opcao_ate != nullptr)
        snprintf(texto, tamanho, "de %s a %s", opcao_desde, opcao_ate);
    else if (opcao_desde != nullptr)
        snprintf(texto, tamanho, "desde %s", opcao_desde);
    else if (opcao_ate != nullptr)
        snprintf(texto, tamanho, "ate %s", opcao_ate);
    else
        snprintf(texto, tamanho, "todo o registro");
}

static void imprimirtabela(void)
{
    char media[24], maior[24], ultima[24], periodo[64];
    if (opcao_tsv) {
        puts("TECLA\tPRESSOES\tMEDIA_MS\tMAX_MS\tULTIMA\tSEM_PAR");
        for (int l = 0; l < 4; l++)
            for (int c = 0; c < 4; c++) {
                colunas(resumo[l][c], media, maior, ultima);
                printf("%d\t%lld\t%s\t%s\t%s\t%lld\n", Teclas[l][c], resumo[l][c].pressoes, media,
                       maior, ultima, resumo[l][c].sem_par);
            }
        return;
    }
    escreverperiodo(periodo, sizeof periodo);
    if (opcao_desde != nullptr || opcao_ate != nullptr)
        printf("Periodo: %s (dias inteiros, incluidos; hora da placa)\n", periodo);
    else
        printf("Periodo: %s\n", periodo);
    printf("%5s %9s %9s %7s  %-23s %8s\n", "TECLA", "PRESSOES", "MEDIA_MS", "MAX_MS", "ULTIMA",
           "SEM_PAR");
    for (int l = 0; l < 4; l++)
        for (int c = 0; c < 4; c++) {
            colunas(resumo[l][c], media, maior, ultima);
            printf("%5d %9lld %9s %7s  %-23s %8lld\n", Teclas[l][c], resumo[l][c].pressoes,
                   media[0] ? media : "-", maior[0] ? maior : "-", ultima[0] ? ultima : "-",
                   resumo[l][c].sem_par);
        }
    colunas(total, media, maior, ultima);
    printf("%5s %9lld %9s %7s  %-23s %8lld\n", "TOTAL", total.pressoes, media[0] ? media : "-",
           maior[0] ? maior : "-", ultima[0] ? ultima : "-", total.sem_par);
    puts("PRESSOES: pressoes com soltura; SEM_PAR: pressoes sem soltura e solturas sem pressao.");
}

// The keypad, each key shaded by its count (white to dark blue) with its code
// and count printed, and under it the presses per hour. Every text is made
// here of digits and fixed words: nothing needs escaping.
static bool desenhar(FILE *svg)
{
    const int largura = 480, lado = 100, altura_tecla = 64, vao = 10, x0 = 25, y0 = 50;
    const int grafico_x = 60, grafico_y = 400, grafico_l = 400, grafico_a = 130;
    char periodo[64], texto[32];
    escreverperiodo(periodo, sizeof periodo);
    long long maximo = 0;
    for (int l = 0; l < 4; l++)
        for (int c = 0; c < 4; c++)
            if (resumo[l][c].pressoes > maximo)
                maximo = resumo[l][c].pressoes;

    fprintf(svg,
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<svg xmlns=\"http://www.w3.org/2000/svg\" version=\"1.1\" width=\"%d\" height=\"%d\""
            " viewBox=\"0 0 %d %d\" font-family=\"sans-serif\">\n"
            "<title>teclado: pressoes por tecla, %s</title>\n"
            "<rect width=\"%d\" height=\"%d\" fill=\"#ffffff\"/>\n"
            "<text x=\"%d\" y=\"30\" font-size=\"16\" font-weight=\"bold\">Pressoes por tecla"
            " (%s)</text>\n",
            largura, grafico_y + grafico_a + 60, largura, grafico_y + grafico_a + 60, periodo,
            largura, grafico_y + grafico_a + 60, x0, periodo);
    for (int l = 0; l < 4; l++)
        for (int c = 0; c < 4; c++) {
            double t = maximo > 0 ? static_cast<double>(resumo[l][c].pressoes) / maximo : 0;
            int vermelho = static_cast<int>(244 + (8 - 244) * t);
            int verde = static_cast<int>(247 + (48 - 247) * t);
            int azul = static_cast<int>(251 + (107 - 251) * t);
            const char *tinta = t > 0.5 ? "#ffffff" : "#111111";
            int x = x0 + c * (lado + vao), y = y0 + l * (altura_tecla + vao);
            fprintf(svg,
                    "<rect x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\" rx=\"8\""
                    " fill=\"#%02x%02x%02x\" stroke=\"#333333\"/>\n"
                    "<text x=\"%d\" y=\"%d\" font-size=\"22\" font-weight=\"bold\""
                    " text-anchor=\"middle\" fill=\"%s\">%d</text>\n"
                    "<text x=\"%d\" y=\"%d\" font-size=\"13\" text-anchor=\"middle\""
                    " fill=\"%s\">%lld %s</text>\n",
                    x, y, lado, altura_tecla, vermelho, verde, azul, x + lado / 2, y + 28, tinta,
                    Teclas[l][c], x + lado / 2, y + 50, tinta, resumo[l][c].pressoes,
                    resumo[l][c].pressoes == 1 ? "pressao" : "pressoes");
        }

    if (horas_por_barra > 1)
        snprintf(texto, sizeof texto, "%lld horas", horas_por_barra);
    else
        snprintf(texto, sizeof texto, "hora");
    fprintf(svg,
            "<text x=\"%d\" y=\"%d\" font-size=\"15\" font-weight=\"bold\">Pressoes por %s</text>\n"
            "<line x1=\"%d\" y1=\"%d\" x2=\"%d\" y2=\"%d\" stroke=\"#333333\"/>\n",
            x0, grafico_y - 30, texto, grafico_x, grafico_y + grafico_a, grafico_x + grafico_l,
            grafico_y + grafico_a);
    if (nbarras == 0) {
        fprintf(svg, "<text x=\"%d\" y=\"%d\" font-size=\"13\">nenhuma pressao no periodo</text>\n",
                grafico_x + 10, grafico_y + grafico_a / 2);
    } else {
        long long maior_barra = 1;
        for (int i = 0; i < nbarras; i++)
            if (barras[i] > maior_barra)
                maior_barra = barras[i];
        double passo = static_cast<double>(grafico_l) / nbarras;
        for (int i = 0; i < nbarras; i++) {
            double altura = static_cast<double>(grafico_a) * barras[i] / maior_barra;
            fprintf(svg,
                    "<rect x=\"%.2f\" y=\"%.2f\" width=\"%.2f\" height=\"%.2f\" fill=\"#08306b\"/>\n",
                    grafico_x + i * passo + passo * 0.1, grafico_y + grafico_a - altura, passo * 0.8,
                    altura);
            // Each bar's count where there is room for it.
            if (nbarras <= 24 && barras[i] > 0)
                fprintf(svg,
                        "<text x=\"%.2f\" y=\"%.2f\" font-size=\"11\" text-anchor=\"middle\">%lld"
                        "</text>\n",
                        grafico_x + (i + 0.5) * passo, grafico_y + grafico_a - altura - 3, barras[i]);
        }
        // The scale: the tallest bar's count, the first and the last hour.
        char primeira[24], ultima[24];
        escreverinstante(inicio_barras, primeira, sizeof primeira);
        escreverinstante(inicio_barras + (nbarras - 1) * horas_por_barra * MS_POR_HORA, ultima,
                         sizeof ultima);
        primeira[13] = ultima[13] = '\0';
        fprintf(svg,
                "<text x=\"%d\" y=\"%d\" font-size=\"11\" text-anchor=\"end\">%lld</text>\n"
                "<text x=\"%d\" y=\"%d\" font-size=\"11\" text-anchor=\"end\">0</text>\n"
                "<text x=\"%d\" y=\"%d\" font-size=\"11\">%sh</text>\n"
                "<text x=\"%d\" y=\"%d\" font-size=\"11\" text-anchor=\"end\">%sh</text>\n",
                grafico_x - 6, grafico_y + 4, maior_barra, grafico_x - 6, grafico_y + grafico_a,
                grafico_x, grafico_y + grafico_a + 16, primeira, grafico_x + grafico_l,
                grafico_y + grafico_a + 16, ultima);
    }
    fprintf(svg, "<text x=\"%d\" y=\"%d\" font-size=\"11\">%lld pressoes, %lld sem par</text>\n",
            x0, grafico_y + grafico_a + 45, total.pressoes, total.sem_par);
    fputs("</svg>\n", svg);
    return !ferror(svg);
}

int relatorio(int argc, char **argv)
{
    // Its failures are told apart from the scanner's in a shared journal.
    nome_do_programa = "teclado-relatorio";
    int status = lerargumentos(argc, argv);
    if (status != RELATORIO_OK)
        return status;
    // Opened before the slow part: a path that cannot be written is a
    // mistake on the command line.
    FILE *svg = nullptr;
    if (opcao_svg != nullptr) {
        svg = fopen(opcao_svg, "w");
        if (svg == nullptr) {
            reclamar("nao foi possivel criar %s: %s", opcao_svg, strerror(errno));
            return RELATORIO_USO;
        }
    }
    char ajuste[160];
    snprintf(ajuste, sizeof ajuste,
             "SET SESSION tmp_table_size = %lu, max_heap_table_size = %lu,"
             " sort_buffer_size = %lu",
             RELATORIO_MEMORIA_TEMP, RELATORIO_MEMORIA_TEMP, RELATORIO_MEMORIA_ORDEM);
    bool feito = conectar();
    if (feito) {
        feito = consultar(ajuste) && resumir() && (svg == nullptr || contarporhora());
        mysql_close(&banco);
    }
    if (feito) {
        imprimirtabela();
        if (fflush(stdout) != 0 || ferror(stdout)) {
            reclamar("falha ao escrever o relatorio: %s", strerror(errno));
            feito = false;
        }
    }
    if (svg != nullptr) {
        if (feito && !desenhar(svg)) {
            reclamar("falha ao escrever %s", opcao_svg);
            feito = false;
        }
        if (fclose(svg) != 0 && feito) {
            reclamar("falha ao escrever %s", opcao_svg);
            feito = false;
        }
        // No half picture left behind.
        if (!feito)
            unlink(opcao_svg);
    }
    return feito ? RELATORIO_OK : RELATORIO_FALHA;
}
