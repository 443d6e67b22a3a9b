// Scanner and report on the simulated keypad. The recorder is replaced by a
// double that keeps each event; the clock and the pause are wrapped at link
// time, so times are fixed and the pause can be placed among the output.
#include "capture.h"
#include "gpio/sim.h"
#include "recorder.h"
#include "teclado.h"

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

namespace {

struct Event {
    std::string key_state; // "5 ON"
    std::string date;
    int ms;
    long output_at; // bytes printed when the recorder was called
    int pauses;     // delay() calls seen by then
};

std::vector<Event> events;
void (*on_record)(const Event &);
int pauses;
long output_at_pause;
time_t fixed_seconds; // time()'s coarse clock, which the report must not use
timeval fixed_timeofday;
int setup_failure; // what wiringPiSetup() answers instead, when not 0

} // namespace

void inserirnatabela(int tecla, const char *estado, const char *data, int ms)
{
    events.push_back({std::to_string(tecla) + " " + estado, data, ms, ftell(stdout), pauses});
    if (on_record != nullptr)
        on_record(events.back());
}

extern "C" {
void __real_delay(unsigned int);
int __real_wiringPiSetup(void);

int __wrap_wiringPiSetup(void)
{
    int result = __real_wiringPiSetup();
    return setup_failure != 0 ? setup_failure : result;
}

// A 32-bit target with a 64-bit time_t calls the clock by other names.
#ifdef __USE_TIME_BITS64
#define WRAP(call) __wrap___##call##64
#else
#define WRAP(call) __wrap_##call
#endif

time_t WRAP(time)(time_t *t)
{
    if (t != nullptr)
        *t = fixed_seconds;
    return fixed_seconds;
}

int WRAP(gettimeofday)(timeval *tv, void *)
{
    *tv = fixed_timeofday;
    return 0;
}

void __wrap_delay(unsigned int ms)
{
    pauses++;
    output_at_pause = ftell(stdout);
    __real_delay(ms);
}
}

namespace {

using Lines = std::vector<std::string>;

// Runs f with every GPIO call recorded; returns the calls as text.
template <typename F> Lines calls_of(F f)
{
    static const char *names[] = {"setup", "mode", "pull", "write", "read", "delay", "wait"};
    static sim_chamada calls[512];
    sim_rastrear(calls, 512);
    f();
    int n = sim_tamanho_do_rastro();
    sim_rastrear(nullptr, 0);
    EXPECT_LE(n, 512);
    Lines out;
    for (int i = 0; i < n && i < 512; i++)
        out.push_back(std::string(names[calls[i].operacao]) + " " + std::to_string(calls[i].pino) + " " +
                      std::to_string(calls[i].valor));
    return out;
}

Lines reported()
{
    Lines out;
    for (const Event &e : events)
        out.push_back(e.key_state);
    return out;
}

void pass() { output_of(varrerteclado); }

void keys(std::initializer_list<std::pair<int, int>> positions, bool closed)
{
    for (auto [row, column] : positions)
        sim_mudar_tecla(row, column, closed);
}

class Keypad : public testing::Test {
protected:
    void SetUp() override
    {
        sim_definir_entrada(-1);
        sim_reiniciar();
        memset(flag, 0, sizeof flag);
        events.clear();
        on_record = nullptr;
        pauses = 0;
        setup_failure = 0;
        output_of(iniciarteclado);
    }
};

TEST_F(Keypad, StartUpAndAQuietPassMakeExactlyTheseCalls)
{
    // Rows to outputs, columns to inputs, then pull-downs; no level written.
    // A failed GPIO set-up configures no pin and is passed on.
    const Lines pins = {"mode 4 1", "mode 5 1", "mode 6 1", "mode 7 1", "mode 0 0", "mode 1 0",
                        "mode 2 0", "mode 3 0", "pull 0 1", "pull 1 1", "pull 2 1", "pull 3 1"};
    for (int failure : {-1, 0}) {
        setup_failure = failure;
        Lines calls;
        int result = 1;
        EXPECT_EQ(output_of([&] { calls = calls_of([&] { result = iniciarteclado(); }); }),
                  "Estamos testando os pinos\n");
        EXPECT_EQ(result, failure);
        Lines expected = {"setup 0 0"};
        if (failure == 0)
            expected.insert(expected.end(), pins.begin(), pins.end());
        EXPECT_EQ(calls, expected);
    }

    Lines expected;
    for (int row = 0; row < 4; row++) {
        expected.push_back("write " + std::to_string(4 + (row + 3) % 4) + " 0");
        expected.push_back("write " + std::to_string(4 + row) + " 1");
        expected.push_back("delay 0 1");
        for (int column = 0; column < 4; column++) {
            expected.push_back("read " + std::to_string(column) + " 0");
            expected.push_back("read " + std::to_string(column) + " 0");
        }
    }
    EXPECT_EQ(calls_of(pass), expected);
    EXPECT_TRUE(events.empty());
}

TEST_F(Keypad, EveryChangeSeenAtAVisitIsReportedOnceInRowMajorOrder)
{
    // Held at start; two keys of one row; the key with code 0.
    keys({{3, 1}, {2, 3}, {0, 2}, {0, 1}}, true);
    pass();
    pass();
    EXPECT_EQ(flag[0][1] + flag[0][2] + flag[2][3] + flag[3][1], 4);
    sim_mudar_tecla(0, 1, false);
    pass();
    keys({{3, 1}, {2, 3}, {0, 2}}, false);
    pass();
    // A bouncing contact: no debounce, every change is an event.
    for (int i = 0; i < 4; i++) {
        sim_mudar_tecla(3, 3, i % 2 == 0);
        pass();
    }
    // Pressed and released between two visits of its row: never seen.
    keys({{1, 2}}, true);
    keys({{1, 2}}, false);
    pass();
    EXPECT_EQ(reported(), (Lines{"2 ON", "3 ON", "34 ON", "0 ON", "2 OFF", "3 OFF", "34 OFF",
                                 "0 OFF", "44 ON", "44 OFF", "44 ON", "44 OFF"}));
    EXPECT_EQ(flag[3][3], 0);
}

TEST_F(Keypad, KeyOpenedWhileItsPressIsRecordedIsReleasedInTheSameVisit)
{
    on_record = [](const Event &) { sim_mudar_tecla(2, 0, false); };
    sim_mudar_tecla(2, 0, true);
    pass();
    // The release check read the pin anew.
    EXPECT_EQ(reported(), (Lines{"7 ON", "7 OFF"}));
    EXPECT_EQ(flag[2][0], 0);
}

TEST_F(Keypad, IdleWaitWithEveryRowHighOnlyWhenNoKeyIsHeld)
{
    sim_mudar_tecla(1, 2, true);
    pass();
    EXPECT_EQ(calls_of(esperartecla), Lines{});
    // The pass ends on row 3 high; the wait raises the others and then
    // leaves row 0 alone high, where the next pass starts.
    sim_mudar_tecla(1, 2, false);
    pass();
    sim_mudar_tecla(3, 0, true);
    EXPECT_EQ(calls_of(esperartecla), (Lines{"write 4 1", "write 5 1", "write 6 1", "wait 0 0",
                                            "write 5 0", "write 6 0", "write 7 0"}));
    pass();
    EXPECT_EQ(reported(), (Lines{"6 ON", "6 OFF", "41 ON"}));
}

TEST_F(Keypad, ReadingOfNeitherZeroNorOneChangesNoState)
{
    sim_mudar_tecla(0, 3, true);
    sim_forcar_leitura(3, 2);
    pass();
    EXPECT_EQ(flag[0][3], 0);

    sim_reiniciar();
    sim_mudar_tecla(0, 3, true);
    pass();
    sim_mudar_tecla(0, 3, false);
    sim_forcar_leitura(3, -1);
    pass();
    EXPECT_EQ(flag[0][3], 1);
    EXPECT_EQ(reported(), (Lines{"14 ON"}));
}

TEST_F(Keypad, ReportPrintsItsLinesThenPausesThenRecords)
{
    setenv("TZ", "UTC", 1);
    tzset();
    // time() reads a coarse clock, which may still show the second before.
    fixed_seconds = 1796706533; // Tue Dec  8 05:08:53 2026
    struct {
        int key;
        bool press;
        timeval now;
        const char *text;
        int ms;
    } cases[] = {
        {5, true, {1796706533, 123456},
         "Estamos conectados\nBotao 5 ON em: Tue Dec  8 05:08:53 2026\n somados 123 milisegundos\n",
         123},
        {44, false, {1796706533, 999999},
         "Botao 44 OFF em: Tue Dec  8 05:08:53 2026\n somados 999 milisegundos\n\n", 999},
        // Truncated, not rounded; plain decimal, the key with code 0 included.
        {0, false, {1796706533, 999},
         "Botao 0 OFF em: Tue Dec  8 05:08:53 2026\n somados 0 milisegundos\n\n", 0},
        // Just past a second's turn: date and milliseconds of one instant.
        {9, true, {1796706534, 2500},
         "Estamos conectados\nBotao 9 ON em: Tue Dec  8 05:08:54 2026\n somados 2 milisegundos\n", 2},
        // The first second a 32-bit time_t cannot hold.
        {41, false, {2147483648, 7000},
         "Botao 41 OFF em: Tue Jan 19 03:14:08 2038\n somados 7 milisegundos\n\n", 7},
    };
    for (const auto &c : cases) {
        events.clear();
        pauses = 0;
        fixed_timeofday = c.now;
        std::string out = output_of([&] { reportarevento(c.key, c.press); });
        EXPECT_EQ(out, c.text);
        ASSERT_EQ(events.size(), 1u);
        const Event &e = events[0];
        EXPECT_EQ(e.key_state, std::to_string(c.key) + (c.press ? " ON" : " OFF"));
        // The stored date is the printed one, its newline included.
        const char *date = strstr(c.text, "em: ") + 4;
        EXPECT_EQ(e.date, std::string(date, strchr(date, '\n') + 1));
        EXPECT_EQ(e.ms, c.ms);
        // One pause of 1 ms, after every line and before the recorder.
        EXPECT_EQ(output_at_pause, static_cast<long>(out.size()));
        EXPECT_EQ(e.pauses, 1);
        EXPECT_EQ(e.output_at, static_cast<long>(out.size()));
    }
}

} // namespace
