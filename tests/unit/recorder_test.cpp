// The recorder against the private MariaDB (reached through MYSQL_UNIX_PORT).
// Each test sets up the table state it needs through an admin connection of
// its own, which also reads the server's counters.
#include "capture.h"
#include "config.h"
#include "recorder.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <mysql.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace {

bool init_fails;
std::vector<std::string> sent;
int handles_open; // initialised and not yet closed

} // namespace

extern "C" {
MYSQL *__real_mysql_init(MYSQL *);
MYSQL *__wrap_mysql_init(MYSQL *m)
{
    if (init_fails)
        return nullptr;
    handles_open++;
    return __real_mysql_init(m);
}

int __real_mysql_close_start(MYSQL *);
int __wrap_mysql_close_start(MYSQL *m)
{
    handles_open--;
    return __real_mysql_close_start(m);
}

// The server's own statement log drops the final ';', so the text is taken
// on its way out instead.
int __real_mysql_send_query_start(int *, MYSQL *, const char *, unsigned long);
int __wrap_mysql_send_query_start(int *ret, MYSQL *m, const char *sql, unsigned long length)
{
    sent.push_back(std::string(sql, length));
    return __real_mysql_send_query_start(ret, m, sql, length);
}
}

namespace {

using Row = std::vector<std::string>;

const char *kDate = "Tue Dec  8 05:08:53 2026\n";
const std::string kConnected = "Estamos conectados ao banco de dados\n";

void record(int key, const char *state, int ms) { inserirnatabela(key, state, kDate, ms); }

class Recorder : public testing::Test {
protected:
    void SetUp() override
    {
        init_fails = false;
        sent.clear();
        mysql_init(&admin);
        ASSERT_NE(mysql_real_connect(&admin, BANCO_HOST, "root", BANCO_SENHA, nullptr, 0, nullptr, 0),
                  nullptr)
            << mysql_error(&admin);
        query("DROP TABLE IF EXISTS embarcados.estado_guardada");
        query("TRUNCATE TABLE embarcados.estado");
        threads = status("Threads_connected");
    }

    void TearDown() override
    {
        // A closed connection leaves the server's count a moment later.
        long now = status("Threads_connected");
        for (int i = 0; i < 100 && now != threads; i++) {
            usleep(20000);
            now = status("Threads_connected");
        }
        EXPECT_EQ(now, threads) << "a connection was left open";
        mysql_close(&admin);
    }

    std::vector<Row> query(const std::string &sql)
    {
        std::vector<Row> rows;
        if (mysql_query(&admin, sql.c_str()) != 0) {
            ADD_FAILURE() << sql << ": " << mysql_error(&admin);
            return rows;
        }
        MYSQL_RES *res = mysql_store_result(&admin);
        while (MYSQL_ROW r = res != nullptr ? mysql_fetch_row(res) : nullptr) {
            unsigned long *len = mysql_fetch_lengths(res);
            Row row;
            for (unsigned int i = 0; i < mysql_num_fields(res); i++)
                row.push_back(std::string(r[i], len[i]));
            rows.push_back(row);
        }
        mysql_free_result(res);
        return rows;
    }

    long status(const char *name)
    {
        auto rows = query(std::string("SHOW GLOBAL STATUS LIKE '") + name + "'");
        return rows.size() == 1 ? std::stol(rows[0][1]) : -1;
    }

    std::vector<Row> stored() { return query("SELECT TECLA, ESTADO, DATA, ms FROM embarcados.estado"); }

    MYSQL admin;
    long threads = 0;
};

TEST_F(Recorder, StoresEachEventByteForByteOverOneNewConnectionEach)
{
    long connections = status("Connections");
    std::string out = output_of([] {
        record(5, "ON", 123);
        record(44, "OFF", 999);
        record(0, "ON", 0);
    });
    EXPECT_EQ(status("Connections") - connections, 3);
    EXPECT_EQ(out, kConnected + kConnected + kConnected);
    EXPECT_EQ(stored(), (std::vector<Row>{{"5", "ON ", kDate, "123"},
                                          {"44", "OFF ", kDate, "999"},
                                          {"0", "ON ", kDate, "0"}}));
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0], "INSERT INTO estado(TECLA, ESTADO, DATA, ms) values "
                       "('5', 'ON ', 'Tue Dec  8 05:08:53 2026\n', '123');");
}

TEST_F(Recorder, RowThatCannotBeStoredSaysWhyAndStoresNothing)
{
    std::string out = output_of([] { inserirnatabela(INT_MIN, "OFF", kDate, INT_MIN); });
    EXPECT_EQ(out, kConnected +
                       "Falha ao gravar: comando com 119 caracteres, mais que os 102 previstos\n");
    EXPECT_TRUE(sent.empty()) << "a cut statement was sent";

    query("RENAME TABLE embarcados.estado TO embarcados.estado_guardada");
    out = output_of([] { record(5, "ON", 1); });
    query("RENAME TABLE embarcados.estado_guardada TO embarcados.estado");
    EXPECT_EQ(out, kConnected + "Falha ao gravar: Table 'embarcados.estado' doesn't exist\n");
    EXPECT_TRUE(stored().empty());
}

TEST_F(Recorder, NullFromMysqlInitIsAFailedConnection)
{
    long connections = status("Connections");
    init_fails = true;
    std::string out = output_of([] { record(5, "ON", 1); });
    init_fails = false;
    EXPECT_EQ(out, "Falha de conexao\n");
    EXPECT_TRUE(sent.empty());
    EXPECT_EQ(status("Connections"), connections);
}

// Once the statement is sent, a link cut before the answer cannot say
// whether the row was stored: a statement waiting for a lock is dropped
// with its client, one already running goes on and stores the row.
TEST_F(Recorder, StatementOutlastingTheReadLimitIsUncertainAndCanStillBeStored)
{
    std::string sleeping = "CREATE TRIGGER embarcados.estado_lenta BEFORE INSERT ON "
                           "embarcados.estado FOR EACH ROW SET @x = SLEEP(" +
                           std::to_string(BANCO_LIMITE_LEITURA_S + 1) + ")";
    for (bool trigger : {false, true}) {
        SCOPED_TRACE(trigger ? "a trigger that sleeps" : "a lock held by another session");
        query("TRUNCATE TABLE embarcados.estado");
        query(trigger ? sleeping : "LOCK TABLES embarcados.estado WRITE");
        std::string out;
        double took = seconds_of([&] { out = output_of([] { record(5, "OFF", 2); }); });
        if (!trigger)
            query("UNLOCK TABLES");
        EXPECT_EQ(out.rfind(kConnected + "Gravacao incerta: ", 0), 0u) << out;
        EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 2);
        EXPECT_LT(took, BANCO_LIMITE_LEITURA_S + 2.0);
        // The trigger wakes a second after the read limit.
        auto rows = stored();
        for (int i = 0; i < 60 && trigger && rows.empty(); i++) {
            usleep(50000);
            rows = stored();
        }
        if (trigger) {
            EXPECT_EQ(rows, (std::vector<Row>{{"5", "OFF ", kDate, "2"}}));
            query("DROP TRIGGER embarcados.estado_lenta");
        }
        printf("figure: keypad blind for %.2f s on a statement %s; row %s\n", took,
               trigger ? "that sleeps past the read limit" : "waiting for a lock",
               rows.empty() ? "not stored" : "stored");
    }
}

// The client library reads MYSQL_UNIX_PORT once, so this suite runs in a
// process of its own with the variable naming a path the tests control.
TEST(NoServer, StoppedOrSilentServerIsAFailedConnectionWithinTheLimit)
{
    std::string path = getenv("MYSQL_UNIX_PORT");
    unlink(path.c_str());
    // The console line stays the same for every cause; standard error says which.
    testing::internal::CaptureStderr();
    EXPECT_EQ(output_of([] { record(5, "ON", 1); }), "Falha de conexao\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "teclado: banco de dados: Can't connect to local server through socket '" + path +
                  "' (2)\n");

    // A listener that takes connections and never says a word.
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    ASSERT_LT(path.size(), sizeof address.sun_path);
    path.copy(address.sun_path, path.size());
    int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 8), 0);
    std::string out;
    testing::internal::CaptureStderr();
    double took = seconds_of([&] { out = output_of([] { record(5, "ON", 1); }); });
    std::string why = testing::internal::GetCapturedStderr();
    close(listener);
    unlink(path.c_str());
    EXPECT_EQ(out, "Falha de conexao\n");
    EXPECT_EQ(why.rfind("teclado: banco de dados: ", 0), 0u) << why;
    EXPECT_LT(took, BANCO_LIMITE_CONEXAO_S + 2.0);
    EXPECT_TRUE(sent.empty());
    EXPECT_EQ(handles_open, 0) << "a handle was not closed after a failed connection";
    printf("figure: keypad blind for %.2f s on a server that never answers\n", took);
}

} // namespace
