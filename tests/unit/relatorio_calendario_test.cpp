// The report's calendar: the day numbers and instants its period and its
// ULTIMA column are made of, checked against the server's own scale
// (TO_SECONDS times 1000) at the points where calendars go wrong.
#include "relatorio/calendario.h"

#include <gtest/gtest.h>

namespace {

long long dia(const char *texto)
{
    long long dias = -1;
    EXPECT_TRUE(lerdata(texto, &dias)) << texto;
    return dias;
}

std::string instante(long long ms)
{
    char texto[24];
    escreverinstante(ms, texto, sizeof texto);
    return texto;
}

TEST(Calendario, LeapDaysOnlyInLeapYears)
{
    long long dias;
    EXPECT_EQ(dia("2024-02-29") + 1, dia("2024-03-01"));
    EXPECT_EQ(dia("2000-02-29") + 1, dia("2000-03-01"));
    EXPECT_FALSE(lerdata("2026-02-29", &dias));
    EXPECT_FALSE(lerdata("1900-02-29", &dias));
    EXPECT_FALSE(lerdata("2100-02-29", &dias));
    EXPECT_FALSE(lerdata("2026-04-31", &dias));
    EXPECT_EQ(dia("2024-12-31") - dia("2024-01-01"), 365);
    EXPECT_EQ(dia("2026-12-31") - dia("2026-01-01"), 364);
}

// Four centuries hold every kind of year; these straddle 2000 and 2100.
TEST(Calendario, EveryDayComesBack)
{
    for (long long dias = dia("1800-01-01"); dias <= dia("2200-12-31"); dias++) {
        int a, m, d;
        diadecalendario(dias, &a, &m, &d);
        ASSERT_EQ(diasdesde1970(a, m, d), dias);
    }
}

TEST(Calendario, PeriodBoundsOnTheServersScale)
{
    EXPECT_EQ(dia("1970-01-01"), 0);
    // SELECT TO_SECONDS('2026-03-10') * 1000
    EXPECT_EQ(iniciododia(dia("2026-03-10")), 63940320000000LL);
    EXPECT_EQ(instante(iniciododia(dia("2026-03-10"))), "2026-03-10 00:00:00.000");
    EXPECT_EQ(instante(iniciododia(dia("2026-03-10") + 1) - 1), "2026-03-10 23:59:59.999");
    EXPECT_EQ(instante(iniciododia(dia("2024-02-29")) + 45296789), "2024-02-29 12:34:56.789");
}

// A 32-bit time_t ends at 2038-01-19 03:14:07 UTC; the report's own
// arithmetic goes on.
TEST(Calendario, PastTheYear2038)
{
    EXPECT_EQ(dia("2038-01-20"), 24856);
    long long fim_32_bits = iniciododia(dia("2038-01-19")) + (3 * 3600 + 14 * 60 + 8) * 1000LL;
    EXPECT_EQ(instante(fim_32_bits), "2038-01-19 03:14:08.000");
    EXPECT_EQ(instante(iniciododia(dia("2106-02-07") + 1)), "2106-02-08 00:00:00.000");
}

} // namespace
