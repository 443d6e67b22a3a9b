// Every line teclado prints on standard output, written here once: the
// scanner, the report and the recorder print them through the functions
// below, and CMake reads the texts as written, one per line, into the
// module the test drivers and the bench take them from
// (cmake/textos.cmake). The keypad and recorder tests keep their own
// copies on purpose: they pin the bytes, which a copy of these could not.
#pragma once

constexpr const char *LINHA_DE_INICIO = "Estamos testando os pinos";
constexpr const char *LINHA_DE_PRESSAO = "Estamos conectados";
constexpr const char *FORMATO_DO_BOTAO = "Botao %d ";
constexpr const char *FORMATO_DE_ON = "ON em: %s somados %d milisegundos\n";
constexpr const char *FORMATO_DE_OFF = "OFF em: %s somados %d milisegundos\n\n";
constexpr const char *LINHA_CONECTADO = "Estamos conectados ao banco de dados";
constexpr const char *LINHA_SEM_CONEXAO = "Falha de conexao";
constexpr const char *INICIO_NAO_GRAVADO = "Falha ao gravar: ";
constexpr const char *INICIO_INCERTO = "Gravacao incerta: ";

// The start line.
void mostrarinicio(void);
// A press's first line, printed before the clock is read.
void mostrarpressao(void);
// The transition's lines: key code, state, date text (ending in its
// newline, which splits the report in two lines) and milliseconds.
void mostrarevento(int tecla, bool pressionada, const char *data, int ms);
// The recorder's status line: connected or not.
void mostrarconexao(bool ligada);
// After a connection, why the row was not stored (incerta: it may have
// been), as formato makes it of the arguments.
__attribute__((format(printf, 2, 3))) void mostrarfalha(bool incerta, const char *formato, ...);
