// What the ODBC backend sends to each kind of server, and how it reads
// failures.
#include "db/odbc_dialect.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>

#include "db/utf16.h"

namespace {

using db::ExecStatus;
using db::OdbcDialect;

// The call with each '?' replaced by the value as the command's own text
// writes it: for a site's procedures this must give exactly that text, since
// they were written for calls of that form.
std::string Substitute(const std::string& callText, const db::SqlCommand& command) {
    std::string out;
    std::size_t param = 0;
    for (char c : callText) {
        if (c != '?') {
            out += c;
            continue;
        }
        db::SqlCommand one("X", {{{}, command.params().at(param++).value}});
        out += one.text().substr(7);  // after "EXEC X "
    }
    return out;
}

TEST(OdbcDialect, CallsOnEachServer) {
    const auto online = db::MakeOnlineEvent("X7");
    const auto fix = db::MakeGpsFix("X7", {25.052057, 121.67613, 18.52, 90}, "$GPRMC,x");
    const db::SqlCommand positional("event_update",
                                    {{{}, std::string("X7")}, {{}, std::int64_t{6}}});
    const struct {
        OdbcDialect dialect;
        const db::SqlCommand& command;
        bool extras;
        const char* text;
        bool flag;
    } cases[] = {
        {OdbcDialect::SqlServer, online, false, "EXEC EVENT_UPDATE @DeviceName=?,@EventTypeID=?",
         false},
        {OdbcDialect::SqlServer, fix, false, "EXEC GPS_ADD ?,?,?,?,?,?", false},
        {OdbcDialect::SqlServer, positional, false, "EXEC EVENT_UPDATE ?,?", false},
        {OdbcDialect::SqlServer, online, true,
         "EXEC EVENT_UPDATE @DeviceName=?,@EventTypeID=?,@ReceivedAt=?,@StatementID=?", true},
        {OdbcDialect::SqlServer, fix, true, "EXEC GPS_ADD ?,?,?,?,?,?,@ReceivedAt=?,@StatementID=?",
         true},
        {OdbcDialect::Postgresql, online, false,
         "CALL event_update(CAST(? AS text), CAST(? AS integer), CAST(? AS timestamptz), "
         "CAST(? AS uuid), NULL)",
         true},
        {OdbcDialect::Postgresql, fix, false,
         "CALL gps_add(CAST(? AS text), CAST(? AS double precision), CAST(? AS double precision), "
         "CAST(? AS integer), CAST(? AS integer), CAST(? AS text), CAST(? AS timestamptz), "
         "CAST(? AS uuid), NULL)",
         true},
        {OdbcDialect::Other, online, true, "{CALL EVENT_UPDATE(?,?)}", false},
        {OdbcDialect::Other, fix, false, "{CALL GPS_ADD(?,?,?,?,?,?)}", false},
    };
    for (const auto& c : cases) {
        std::string error;
        const auto* def = db::FindProcedure(c.command.procedure());
        ASSERT_NE(def, nullptr);
        const auto call = db::OdbcCallFor(c.dialect, *def, c.command, c.extras, error);
        ASSERT_TRUE(call) << error;
        EXPECT_EQ(call->text, c.text);
        EXPECT_EQ(call->appliedFlag, c.flag) << c.text;
        EXPECT_EQ(call->extras, c.flag) << c.text;
        if (c.dialect == OdbcDialect::SqlServer && !c.extras &&
            c.command.procedure() == def->name) {
            EXPECT_EQ(Substitute(call->text, c.command), c.command.text())
                << "a site's procedure receives the command's own call";
        }
    }
}

TEST(OdbcDialect, ParameterNamesMustBePlainNames) {
    const db::SqlCommand odd("EVENT_UPDATE", {{"DeviceName=1;DROP TABLE x;--", std::string("X7")},
                                              {"EventTypeID", std::int64_t{6}}});
    std::string error;
    EXPECT_FALSE(db::OdbcCallFor(OdbcDialect::SqlServer, *db::FindProcedure("EVENT_UPDATE"), odd,
                                 false, error));
    EXPECT_NE(error.find("not a plain name"), std::string::npos) << error;
}

TEST(OdbcDialect, TheDbmsNameChoosesTheDialect) {
    EXPECT_EQ(db::DialectOfDbms("Microsoft SQL Server"), OdbcDialect::SqlServer);
    EXPECT_EQ(db::DialectOfDbms("SQL Server"), OdbcDialect::SqlServer);
    EXPECT_EQ(db::DialectOfDbms("PostgreSQL"), OdbcDialect::Postgresql);
    EXPECT_EQ(db::DialectOfDbms("MySQL"), OdbcDialect::Other);
    EXPECT_EQ(db::DialectOfDbms(""), OdbcDialect::Other);
}

TEST(OdbcDialect, FailuresAreToldApartForTheRetryRule) {
    const struct {
        const char* state;
        long native;
        OdbcDialect dialect;
        ExecStatus status;
    } cases[] = {
        {"08S01", 0, OdbcDialect::SqlServer, ExecStatus::ConnectionLost},
        {"08001", 0, OdbcDialect::Other, ExecStatus::ConnectionLost},
        {"08003", 0, OdbcDialect::Postgresql, ExecStatus::ConnectionLost},
        {"57P01", 35, OdbcDialect::Postgresql, ExecStatus::ConnectionLost},  // terminated
        {"57P02", 0, OdbcDialect::Postgresql, ExecStatus::ConnectionLost},
        {"HYT01", 0, OdbcDialect::SqlServer, ExecStatus::ConnectionLost},
        {"40003", 0, OdbcDialect::Other, ExecStatus::ConnectionLost},
        {"", 0, OdbcDialect::Other, ExecStatus::ConnectionLost},
        {"HYT00", 0, OdbcDialect::SqlServer, ExecStatus::Transient},
        {"HY008", 0, OdbcDialect::SqlServer, ExecStatus::Transient},
        {"40001", 1205, OdbcDialect::SqlServer, ExecStatus::Transient},
        {"40P01", 0, OdbcDialect::Postgresql, ExecStatus::Transient},
        {"53100", 0, OdbcDialect::Postgresql, ExecStatus::Transient},
        {"55P03", 0, OdbcDialect::Postgresql, ExecStatus::Transient},
        {"57014", 0, OdbcDialect::Postgresql, ExecStatus::Transient},
        {"HY000", 1222, OdbcDialect::SqlServer, ExecStatus::Transient},  // lock time-out
        {"HY000", 9002, OdbcDialect::SqlServer, ExecStatus::Transient},  // log full
        {"HY000", 1222, OdbcDialect::Postgresql, ExecStatus::Rejected},
        {"HY000", 0, OdbcDialect::SqlServer, ExecStatus::Rejected},
        {"42000", 2812, OdbcDialect::SqlServer, ExecStatus::Rejected},  // no such procedure
        {"23000", 2627, OdbcDialect::SqlServer, ExecStatus::Rejected},
        {"23514", 0, OdbcDialect::Postgresql, ExecStatus::Rejected},
        {"22001", 8152, OdbcDialect::SqlServer, ExecStatus::Rejected},  // would be truncated
        {"25P02", 0, OdbcDialect::Postgresql, ExecStatus::Rejected},
        {"IM001", 0, OdbcDialect::Other, ExecStatus::Rejected},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(db::ClassifyOdbcError(c.state, c.native, c.dialect), c.status)
            << c.state << " " << c.native;
    }
}

TEST(Utf16, ValidTextRoundTripsAndInvalidTextIsRefused) {
    const struct {
        std::string utf8;
        std::u16string utf16;
    } valid[] = {
        {"", u""},
        {"X7 $GPRMC,'a'", u"X7 $GPRMC,'a'"},
        {"台北-車輛07", u"台北-車輛07"},
        {"🚚🛰️", u"\xD83D\xDE9A\xD83D\xDEF0\xFE0F"},
        {"\xF4\x8F\xBF\xBF", u"\xDBFF\xDFFF"},  // U+10FFFF
    };
    for (const auto& c : valid) {
        std::u16string wide;
        std::string back;
        ASSERT_TRUE(db::Utf8ToUtf16(c.utf8, wide)) << c.utf8;
        EXPECT_EQ(wide, c.utf16) << c.utf8;
        ASSERT_TRUE(db::Utf16ToUtf8(wide, back));
        EXPECT_EQ(back, c.utf8);
    }
    for (const char* bad : {"\xC0\x80", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE2\x82", "a\x80",
                            "\xFF", "\xE2\x28\xA1"}) {
        std::u16string wide;
        EXPECT_FALSE(db::Utf8ToUtf16(bad, wide)) << "accepted " << ::testing::PrintToString(bad);
    }
    std::string out;
    EXPECT_FALSE(db::Utf16ToUtf8(u"a\xD800", out));
    EXPECT_FALSE(db::Utf16ToUtf8(u"\xDC00z", out));
    EXPECT_EQ(db::Utf16ToUtf8Lossy(u"a\xD800z"), "a\xEF\xBF\xBDz");
}

// db/schema/sqlserver.sql must take what the backend sends: every known
// procedure with its own parameters, then the received time and the
// statement id as optional ones, under the names the calls use.
TEST(SqlServerSchema, ProceduresTakeWhatTheBackendSends) {
    std::ifstream in(VARDO_SOURCE_DIR "/db/schema/sqlserver.sql");
    ASSERT_TRUE(in) << "db/schema/sqlserver.sql";
    std::stringstream text;
    text << in.rdbuf();
    const std::string script = text.str();

    const struct {
        const char* procedure;
        db::SqlCommand example;
    } cases[] = {
        {"EVENT_UPDATE", db::MakeOnlineEvent("X7")},
        {"GPS_ADD", db::MakeGpsFix("X7", {1, 2, 3, 4}, "")},
    };
    for (const auto& c : cases) {
        const std::regex header("CREATE OR ALTER PROCEDURE dbo\\." + std::string(c.procedure) +
                                "\\s*\\n([\\s\\S]*?)\\nAS\\n");
        std::smatch m;
        ASSERT_TRUE(std::regex_search(script, m, header)) << c.procedure;
        std::vector<std::pair<std::string, std::string>> params;  // name, declaration
        const std::regex param("(@\\w+)\\s+([^,]+?)\\s*(,|$)");
        const std::string list = m[1].str();
        for (auto it = std::sregex_iterator(list.begin(), list.end(), param);
             it != std::sregex_iterator(); ++it) {
            params.emplace_back((*it)[1].str(), (*it)[2].str());
        }
        const auto* def = db::FindProcedure(c.procedure);
        ASSERT_EQ(params.size(), def->params.size() + 2) << list;
        for (std::size_t i = 0; i < def->params.size(); ++i) {
            const std::string type = def->params[i] == db::ParamType::Text   ? "nvarchar(max)"
                                     : def->params[i] == db::ParamType::Real ? "float"
                                                                             : "int";
            EXPECT_EQ(params[i].second, type) << c.procedure << " " << params[i].first;
            const std::string& name = c.example.params()[i].name;
            if (!name.empty()) {
                EXPECT_EQ(params[i].first, "@" + name) << "the call names it so";
            }
        }
        EXPECT_EQ(params[def->params.size()],
                  (std::pair<std::string, std::string>{"@ReceivedAt", "datetime2(3) = NULL"}));
        EXPECT_EQ(params[def->params.size() + 1],
                  (std::pair<std::string, std::string>{"@StatementID", "uniqueidentifier = NULL"}));
    }
}

// No SQL Server runs here, so the one rule of GPS_ADD that matters most is
// checked in its text: the device's last position is written only under the
// test that the fix carries a sentence (an empty one means 0, 0 sent for
// "no position").
TEST(SqlServerSchema, OnlyAFixWithASentenceMovesTheLastPosition) {
    std::ifstream in(VARDO_SOURCE_DIR "/db/schema/sqlserver.sql");
    ASSERT_TRUE(in) << "db/schema/sqlserver.sql";
    std::stringstream text;
    text << in.rdbuf();
    const std::string script = text.str();
    const std::size_t begin = script.find("CREATE OR ALTER PROCEDURE dbo.GPS_ADD");
    ASSERT_NE(begin, std::string::npos);
    const std::string body = script.substr(begin, script.find("\nGO", begin) - begin);

    const std::string guard = "IF DATALENGTH(@GPSInfo) > 0\n    BEGIN\n";
    const std::size_t guarded = body.find(guard);
    ASSERT_NE(guarded, std::string::npos) << body;
    const std::size_t end = body.find("\n    END\n", guarded);
    ASSERT_NE(end, std::string::npos) << body;
    const std::regex positionWrite(
        "latitude = @Latitude|INSERT INTO dbo\\.devices \\([^)]*latitude");
    int writes = 0;
    for (auto it = std::sregex_iterator(body.begin(), body.end(), positionWrite);
         it != std::sregex_iterator(); ++it, ++writes) {
        const auto at = static_cast<std::size_t>(it->position());
        EXPECT_TRUE(at > guarded && at < end) << "unguarded: " << it->str();
    }
    EXPECT_EQ(writes, 2);
    // Without a sentence a new device is still listed, with no position.
    EXPECT_NE(body.find("INSERT INTO dbo.devices (device_key, device_name) VALUES (@key, "
                        "@DeviceName);",
                        end),
              std::string::npos)
        << body;
}

}  // namespace
