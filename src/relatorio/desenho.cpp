// The report as a picture, see desenho.h.
#include "relatorio/desenho.h"

#include "relatorio/calendario.h"
#include "relatorio/tabela.h"

// The keypad, each key shaded by its count (white to dark blue) with its code
// and count printed, and under it the presses per hour. Every text is made
// here of digits and fixed words: nothing needs escaping.
void desenhar(FILE *svg, const opcoes_relatorio &opcoes, const resumo_relatorio &resumo)
{
    const int largura = 480, lado = 100, altura_tecla = 64, vao = 10, x0 = 25, y0 = 50;
    const int grafico_x = 60, grafico_y = 400, grafico_l = 400, grafico_a = 130;
    char periodo[64], texto[32], ignoradas[256];
    escreverperiodo(opcoes, periodo, sizeof periodo);
    // The line of rows left out, when there is one, gets room of its own.
    bool ha_ignoradas = escreverignoradas(resumo.ignoradas, ignoradas, sizeof ignoradas);
    const int altura_total = grafico_y + grafico_a + (ha_ignoradas ? 80 : 60);
    long long maximo = 0;
    for (int l = 0; l < 4; l++)
        for (int c = 0; c < 4; c++)
            if (resumo.tecla[l][c].pressoes > maximo)
                maximo = resumo.tecla[l][c].pressoes;

    fprintf(svg,
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<svg xmlns=\"http://www.w3.org/2000/svg\" version=\"1.1\" width=\"%d\" height=\"%d\""
            " viewBox=\"0 0 %d %d\" font-family=\"sans-serif\">\n"
            "<title>teclado: pressoes por tecla, %s</title>\n"
            "<rect width=\"%d\" height=\"%d\" fill=\"#ffffff\"/>\n"
            "<text x=\"%d\" y=\"30\" font-size=\"16\" font-weight=\"bold\">Pressoes por tecla"
            " (%s)</text>\n",
            largura, altura_total, largura, altura_total, periodo, largura, altura_total, x0, periodo);
    for (int l = 0; l < 4; l++)
        for (int c = 0; c < 4; c++) {
            double t = maximo > 0 ? static_cast<double>(resumo.tecla[l][c].pressoes) / maximo : 0;
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
                    Teclas[l][c], x + lado / 2, y + 50, tinta, resumo.tecla[l][c].pressoes,
                    resumo.tecla[l][c].pressoes == 1 ? "pressao" : "pressoes");
        }

    if (resumo.horas_por_barra > 1)
        snprintf(texto, sizeof texto, "%lld horas", resumo.horas_por_barra);
    else
        snprintf(texto, sizeof texto, "hora");
    fprintf(svg,
            "<text x=\"%d\" y=\"%d\" font-size=\"15\" font-weight=\"bold\">Pressoes por %s</text>\n"
            "<line x1=\"%d\" y1=\"%d\" x2=\"%d\" y2=\"%d\" stroke=\"#333333\"/>\n",
            x0, grafico_y - 30, texto, grafico_x, grafico_y + grafico_a, grafico_x + grafico_l,
            grafico_y + grafico_a);
    if (resumo.nbarras == 0) {
        fprintf(svg, "<text x=\"%d\" y=\"%d\" font-size=\"13\">nenhuma pressao no periodo</text>\n",
                grafico_x + 10, grafico_y + grafico_a / 2);
    } else {
        long long maior_barra = 1;
        for (int i = 0; i < resumo.nbarras; i++)
            if (resumo.barras[i] > maior_barra)
                maior_barra = resumo.barras[i];
        double passo = static_cast<double>(grafico_l) / resumo.nbarras;
        for (int i = 0; i < resumo.nbarras; i++) {
            double altura = static_cast<double>(grafico_a) * resumo.barras[i] / maior_barra;
            fprintf(svg,
                    "<rect x=\"%.2f\" y=\"%.2f\" width=\"%.2f\" height=\"%.2f\" fill=\"#08306b\"/>\n",
                    grafico_x + i * passo + passo * 0.1, grafico_y + grafico_a - altura, passo * 0.8,
                    altura);
            // Each bar's count where there is room for it.
            if (resumo.nbarras <= 24 && resumo.barras[i] > 0)
                fprintf(svg,
                        "<text x=\"%.2f\" y=\"%.2f\" font-size=\"11\" text-anchor=\"middle\">%lld"
                        "</text>\n",
                        grafico_x + (i + 0.5) * passo, grafico_y + grafico_a - altura - 3, resumo.barras[i]);
        }
        // The scale: the tallest bar's count, the first and the last hour.
        char primeira[24], ultima[24];
        escreverinstante(resumo.inicio_barras, primeira, sizeof primeira);
        escreverinstante(resumo.inicio_barras + (resumo.nbarras - 1) * resumo.horas_por_barra * MS_POR_HORA, ultima,
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
    fprintf(svg, "<text x=\"%d\" y=\"%d\" font-size=\"11\">%lld %s, %lld sem par</text>\n", x0,
            grafico_y + grafico_a + 45, resumo.total.pressoes,
            resumo.total.pressoes == 1 ? "pressao" : "pressoes", resumo.total.sem_par);
    if (ha_ignoradas)
        fprintf(svg, "<text x=\"%d\" y=\"%d\" font-size=\"11\">%s</text>\n", x0,
                grafico_y + grafico_a + 63, ignoradas);
    fputs("</svg>\n", svg);
}

