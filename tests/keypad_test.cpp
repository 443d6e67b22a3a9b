// Scanner and report on the simulated keypad. The recorder is replaced by a
// double that keeps each event; the clock and the pause are wrapped at link
// time so that times are fixed and the pause can be placed among the output.
#include "gpio.h"
#include "gpio_sim.h"
#include "recorder.h"
#include "teclado.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

struct Event {
    int key;
    std::string state;
    std::string date;
    int ms;
    long output_at;  // bytes printed when the recorder was called
    int pauses;      // delay() calls seen by then
};

std::vector<Event> events;
void (*on_record)(const Event &);
int pauses;
long output_at_pause = -1;

bool clock_fixed;
time_t fixed_seconds;
timeval fixed_timeofday;

} // namespace

void inserirnatabela(int tecla, const char *estado, const char *data, int ms)
{
    events.push_back({tecla, estado, data, ms, ftell(stdout), pauses});
    if (on_record != nullptr)
        on_record(events.back());
}

extern "C" {
time_t __real_time(time_t *);
int __real_gettimeofday(timeval *, void *);
void __real_delay(unsigned int);

time_t __wrap_time(time_t *t)
{
    if (!clock_fixed)
        return __real_time(t);
    if (t != nullptr)
        *t = fixed_seconds;
    return fixed_seconds;
}

int __wrap_gettimeofday(timeval *tv, void *tz)
{
    if (!clock_fixed)
        return __real_gettimeofday(tv, tz);
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

std::string describe(const sim_call &c)
{
    static const char *names[] = {"setup", "mode", "pull", "write", "read", "delay"};
    return std::string(names[c.op]) + " " + std::to_string(c.pin) + " " + std::to_string(c.value);
}

// Runs f with every GPIO call recorded; returns the calls as text.
template <typename F> std::vector<std::string> calls_of(F f)
{
    static sim_call calls[512];
    sim_trace(calls, 512);
    f();
    int n = sim_trace_length();
    sim_trace(nullptr, 0);
    EXPECT_LE(n, 512);
    std::vector<std::string> out;
    for (int i = 0; i < n && i < 512; i++)
        out.push_back(describe(calls[i]));
    return out;
}

template <typename F> std::string output_of(F f)
{
    testing::internal::CaptureStdout();
    f();
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

std::vector<std::string> keys_and_states()
{
    std::vector<std::string> out;
    for (const Event &e : events)
        out.push_back(std::to_string(e.key) + " " + e.state);
    return out;
}

void pass() { output_of(varrerteclado); }

class Keypad : public testing::Test {
protected:
    void SetUp() override
    {
        sim_set_input(-1);
        sim_reset();
        memset(flag, 0, sizeof flag);
        events.clear();
        on_record = nullptr;
        pauses = 0;
        clock_fixed = false;
        output_of(iniciarteclado);
    }
};

TEST_F(Keypad, StartUpPrintsItsLineThenConfiguresThePinsWithoutDrivingThem)
{
    std::vector<std::string> calls;
    std::string out = output_of([&] { calls = calls_of(iniciarteclado); });
    EXPECT_EQ(out, "Estamos testando os pinos\n");
    EXPECT_EQ(calls, (std::vector<std::string>{
                         "setup 0 0", "mode 4 1", "mode 5 1", "mode 6 1", "mode 7 1", "mode 0 0",
                         "mode 1 0", "mode 2 0", "mode 3 0", "pull 0 1", "pull 1 1", "pull 2 1",
                         "pull 3 1"}));
}

TEST_F(Keypad, QuietPassSelectsEachRowThenReadsEachColumnTwice)
{
    std::vector<std::string> expected;
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

TEST_F(Keypad, KeyHeldAtStartIsPressedOnFirstPassAndReleasedOnce)
{
    sim_set_key(1, 1, true);
    pass();
    EXPECT_EQ(flag[1][1], 1);
    pass();
    EXPECT_EQ(keys_and_states(), (std::vector<std::string>{"5 ON"}));
    sim_set_key(1, 1, false);
    pass();
    pass();
    EXPECT_EQ(flag[1][1], 0);
    EXPECT_EQ(keys_and_states(), (std::vector<std::string>{"5 ON", "5 OFF"}));
}

TEST_F(Keypad, KeyOpenedWhileItsPressIsRecordedIsReleasedInTheSameVisit)
{
    on_record = [](const Event &e) {
        if (e.state == "ON")
            sim_set_key(2, 0, false);
    };
    sim_set_key(2, 0, true);
    std::vector<std::string> calls = calls_of(pass);
    EXPECT_EQ(keys_and_states(), (std::vector<std::string>{"7 ON", "7 OFF"}));
    EXPECT_EQ(flag[2][0], 0);
    // Still two readings per key: the release check read the pin anew.
    EXPECT_EQ(std::count_if(calls.begin(), calls.end(),
                            [](const std::string &c) { return c.rfind("read", 0) == 0; }),
              32);
}

TEST_F(Keypad, KeysOfOnePassComeInRowMajorOrderEachWithItsOwnState)
{
    // Two keys of one row, and the bottom row's key with code 0.
    sim_set_key(3, 1, true);
    sim_set_key(2, 3, true);
    sim_set_key(0, 2, true);
    sim_set_key(0, 1, true);
    pass();
    sim_set_key(0, 1, false);
    pass();
    sim_set_key(3, 1, false);
    sim_set_key(2, 3, false);
    sim_set_key(0, 2, false);
    pass();
    EXPECT_EQ(keys_and_states(),
              (std::vector<std::string>{"2 ON", "3 ON", "34 ON", "0 ON", "2 OFF", "3 OFF",
                                        "34 OFF", "0 OFF"}));
}

TEST_F(Keypad, BouncingContactGivesEveryChangeAndAMissedTapGivesNone)
{
    for (int i = 0; i < 6; i++) {
        sim_set_key(3, 3, i % 2 == 0);
        pass();
    }
    // Pressed and released between two visits of its row: never seen.
    sim_set_key(3, 3, true);
    sim_set_key(3, 3, false);
    pass();
    EXPECT_EQ(keys_and_states(), (std::vector<std::string>{"44 ON", "44 OFF", "44 ON", "44 OFF",
                                                           "44 ON", "44 OFF"}));
}

TEST_F(Keypad, ReadingOfNeitherZeroNorOneChangesNoState)
{
    sim_set_key(0, 3, true);
    sim_force_reading(3, 2);
    pass();
    EXPECT_TRUE(events.empty());
    EXPECT_EQ(flag[0][3], 0);

    sim_reset();
    sim_set_key(0, 3, true);
    pass();
    sim_set_key(0, 3, false);
    sim_force_reading(3, -1);
    pass();
    EXPECT_EQ(flag[0][3], 1);
    EXPECT_EQ(keys_and_states(), (std::vector<std::string>{"14 ON"}));
}

TEST_F(Keypad, SimulatedInputHoldsLinesBackForTheTimeOfAWait)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const char script[] = "press 5\nwait 60\nrelease 5\npress 44";
    ASSERT_EQ(write(fds[1], script, sizeof script - 1), static_cast<ssize_t>(sizeof script - 1));
    close(fds[1]);
    sim_set_input(fds[0]);
    delay(1);
    EXPECT_TRUE(sim_key(1, 1));
    delay(30);
    EXPECT_TRUE(sim_key(1, 1));
    EXPECT_FALSE(sim_key(3, 3));
    delay(40);
    EXPECT_FALSE(sim_key(1, 1));
    // The last line counts without its newline, and the keypad then stays.
    EXPECT_TRUE(sim_key(3, 3));
    delay(5);
    EXPECT_TRUE(sim_key(3, 3));
    sim_set_input(-1);
    close(fds[0]);
}

// ---- The report ----

struct Report : Keypad {
    void set_clock(time_t seconds, time_t tv_sec, long tv_usec)
    {
        clock_fixed = true;
        fixed_seconds = seconds;
        fixed_timeofday.tv_sec = tv_sec;
        fixed_timeofday.tv_usec = tv_usec;
    }
    void SetUp() override
    {
        Keypad::SetUp();
        setenv("TZ", "UTC", 1);
        tzset();
    }
};

constexpr time_t kTuesday = 1796706533; // Tue Dec  8 05:08:53 2026 UTC

TEST_F(Report, PressPrintsItsLinesThenPausesThenRecords)
{
    set_clock(kTuesday, kTuesday, 123456);
    std::string out = output_of([] { reportarevento(5, true); });
    EXPECT_EQ(out, "Estamos conectados\n"
                   "Botao 5 ON em: Tue Dec  8 05:08:53 2026\n"
                   " somados 123 milisegundos\n");
    ASSERT_EQ(events.size(), 1u);
    const Event &e = events[0];
    EXPECT_EQ(e.key, 5);
    EXPECT_EQ(e.state, "ON");
    EXPECT_EQ(e.date, "Tue Dec  8 05:08:53 2026\n");
    EXPECT_EQ(e.ms, 123);
    EXPECT_EQ(output_at_pause, static_cast<long>(out.size()));
    EXPECT_EQ(e.pauses, 1);
    EXPECT_EQ(e.output_at, static_cast<long>(out.size()));
    EXPECT_EQ(on.tv_usec, 123456);
}

TEST_F(Report, ReleasePrintsNoConnectedLineAndEndsWithAnEmptyLine)
{
    set_clock(kTuesday, kTuesday, 999999);
    std::string out = output_of([] { reportarevento(44, false); });
    EXPECT_EQ(out, "Botao 44 OFF em: Tue Dec  8 05:08:53 2026\n"
                   " somados 999 milisegundos\n\n");
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].state, "OFF");
    EXPECT_EQ(events[0].ms, 999);
    EXPECT_EQ(output_at_pause, static_cast<long>(out.size()));
    EXPECT_EQ(events[0].pauses, 1);
}

TEST_F(Report, MillisecondsAreTruncatedAndNumbersPlainDecimal)
{
    struct {
        long usec;
        int key;
        const char *line;
    } cases[] = {
        {999, 0, "Botao 0 OFF em: Tue Dec  8 05:08:53 2026\n somados 0 milisegundos\n\n"},
        {5999, 3, "Botao 3 OFF em: Tue Dec  8 05:08:53 2026\n somados 5 milisegundos\n\n"},
        {40000, 41, "Botao 41 OFF em: Tue Dec  8 05:08:53 2026\n somados 40 milisegundos\n\n"},
    };
    for (const auto &c : cases) {
        set_clock(kTuesday, kTuesday, c.usec);
        EXPECT_EQ(output_of([&] { reportarevento(c.key, false); }), c.line);
    }
}

TEST_F(Report, DateAndMillisecondsComeFromTwoSeparateReadings)
{
    // time() just before a second ends, gettimeofday() just after it.
    set_clock(kTuesday, kTuesday + 1, 2000);
    output_of([] { reportarevento(9, true); });
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].date, "Tue Dec  8 05:08:53 2026\n");
    EXPECT_EQ(events[0].ms, 2);
}

} // namespace
