// OLE DB connection strings of Windows sites, turned into FreeTDS ones.
#include "db/oledb_translation.h"

#include <gtest/gtest.h>

namespace {

constexpr const char* kTail = ";TDS_Version=7.4";

TEST(OleDbTranslation, SqlServerStringsBecomeFreeTdsStrings) {
    const struct {
        const char* oledb;
        std::string odbc;
    } cases[] = {
        // The settings table's default.
        {"Provider=SQLOLEDB;Server=127.0.0.1;Initial Catalog=VardoPlatform;User ID=sa;"
         "Password=nobe274",
         "Driver=FreeTDS;Server=127.0.0.1;Port=1433;Database=VardoPlatform;UID=sa;PWD=nobe274" +
             std::string(kTail)},
        // As a data-link file writes it.
        {"Provider=SQLOLEDB.1;Persist Security Info=False;User ID=sa;Password=x;"
         "Initial Catalog=Db;Data Source=DBHOST",
         "Driver=FreeTDS;Server=DBHOST;Port=1433;Database=Db;UID=sa;PWD=x" + std::string(kTail)},
        {"Provider=SQLNCLI11;Server=10.0.0.5,14330;Database=V;UID=u;PWD=p",
         "Driver=FreeTDS;Server=10.0.0.5;Port=14330;Database=V;UID=u;PWD=p" + std::string(kTail)},
        {"Provider=SQLNCLI11;Server=tcp:db.example , 1500",
         "Driver=FreeTDS;Server=db.example;Port=1500" + std::string(kTail)},
        // A named instance: its port is asked of the server later.
        {"Provider=MSOLEDBSQL;Data Source=DB1\\SITE;Initial Catalog=V",
         "Driver=FreeTDS;Server=DB1\\SITE;Database=V" + std::string(kTail)},
        // An instance with a port: the port decides.
        {"Provider=MSOLEDBSQL19;Data Source=DB1\\SITE,50123",
         "Driver=FreeTDS;Server=DB1;Port=50123" + std::string(kTail)},
        {"Provider=SQLOLEDB;Data Source=DB1\\MSSQLSERVER",
         "Driver=FreeTDS;Server=DB1;Port=1433" + std::string(kTail)},
        {"Provider=SQLOLEDB;Data Source=(local)",
         "Driver=FreeTDS;Server=127.0.0.1;Port=1433" + std::string(kTail)},
        {"Provider=SQLOLEDB;Data Source=.\\SQLEXPRESS",
         "Driver=FreeTDS;Server=127.0.0.1\\SQLEXPRESS" + std::string(kTail)},
        // No server at all means the local one, as on Windows.
        {"Provider=SQLOLEDB;User ID=sa",
         "Driver=FreeTDS;Server=127.0.0.1;Port=1433;UID=sa" + std::string(kTail)},
        // Quoted values may hold ';' and their quote doubled; ODBC braces them.
        {"Provider=SQLOLEDB;Server=h;User ID=sa;Password=\"a;b\"\"c}\"",
         "Driver=FreeTDS;Server=h;Port=1433;UID=sa;PWD={a;b\"c}}}" + std::string(kTail)},
        {"Provider=SQLOLEDB;Server=h;Password='it''s'",
         "Driver=FreeTDS;Server=h;Port=1433;PWD=it's" + std::string(kTail)},
        {"Provider=SQLOLEDB;Server=h;Password=' padded '",
         "Driver=FreeTDS;Server=h;Port=1433;PWD={ padded }" + std::string(kTail)},
        {"Provider=SQLOLEDB;Server=h;Password=a=b",
         "Driver=FreeTDS;Server=h;Port=1433;PWD=a=b" + std::string(kTail)},
        {"Provider=SQLOLEDB;Server=h;User ID=sa;Password=",
         "Driver=FreeTDS;Server=h;Port=1433;UID=sa;PWD=" + std::string(kTail)},
        // Blanks, case, repeated keys (the last counts), empty pairs.
        {" Provider = SQLOLEDB ; Server = h ; Initial Catalog = My Db ;;",
         "Driver=FreeTDS;Server=h;Port=1433;Database=My Db" + std::string(kTail)},
        {"PROVIDER=sqloledb;DATA SOURCE=first;data source=second;USER  ID=sa",
         "Driver=FreeTDS;Server=second;Port=1433;UID=sa" + std::string(kTail)},
        {"Provider=SQLOLEDB;Server=h;Application Name=Vardo Events;Workstation ID=PC1;"
         "Current Language=us_english;Encrypt=yes;Connect Timeout=30;Integrated Security=False",
         "Driver=FreeTDS;Server=h;Port=1433" + std::string(kTail) +
             ";APP=Vardo Events;WSID=PC1;Language=us_english;Encryption=require"},
        {"Provider=SQLOLEDB;Server=h;Database=台北",
         "Driver=FreeTDS;Server=h;Port=1433;"
         "Database=台北" +
             std::string(kTail)},
    };
    for (const auto& c : cases) {
        const auto t = db::TranslateOleDbConnectionString(c.oledb);
        ASSERT_TRUE(t.target) << c.oledb << ": " << t.error;
        EXPECT_EQ(db::FreeTdsConnectionString(*t.target), c.odbc) << c.oledb;
    }
}

TEST(OleDbTranslation, StringsThatCannotBeTranslatedAreRefusedWithTheReason) {
    const struct {
        const char* oledb;
        const char* reason;
    } cases[] = {
        {"Provider=SQLOLEDB;Server=h;Integrated Security=SSPI", "Windows login"},
        {"Provider=SQLNCLI11;Server=h;Trusted_Connection=yes", "Windows login"},
        {"Provider=SQLOLEDB;Server=h;Integrated Security=perhaps", "must be SSPI"},
        {"Provider=SQLOLEDB;Server=np:\\\\h\\pipe\\sql\\query", "named pipe"},
        {"Provider=SQLOLEDB;Server=\\\\h\\pipe\\sql\\query", "named pipe"},
        {"Provider=SQLOLEDB;Server=lpc:h", "named pipe"},
        {"Provider=SQLOLEDB;Server=(localdb)\\v11.0", "LocalDB"},
        {"Provider=SQLOLEDB;Server=h,0", "1 to 65535"},
        {"Provider=SQLOLEDB;Server=h,65536", "1 to 65535"},
        {"Provider=SQLOLEDB;Server=h,14x3", "1 to 65535"},
        {"Provider=SQLOLEDB;Server=h,", "1 to 65535"},
        {"Provider=SQLOLEDB;Server=h;Intial Catalog=V", "'Intial Catalog' is unknown"},
        {"Provider=SQLOLEDB;Server=h;Encrypt=maybe", "must be yes"},
        {"Provider=Microsoft.ACE.OLEDB.12.0;Data Source=C:\\db.accdb", "no counterpart"},
        {"Provider=MSDASQL;DSN=site", "no counterpart"},
        {"Server=h;User ID=sa", "no Provider"},
        {"Provider=SQLOLEDB;Password=\"unterminated", "closing quote"},
        {"Provider=SQLOLEDB;Password='x' y", "text after"},
        {"Provider=SQLOLEDB;Server=h;justaword", "has no '='"},
        {"Provider=SQLOLEDB;=value", "without a key"},
    };
    for (const auto& c : cases) {
        const auto t = db::TranslateOleDbConnectionString(c.oledb);
        EXPECT_FALSE(t.target) << c.oledb;
        EXPECT_NE(t.error.find(c.reason), std::string::npos) << c.oledb << " gave: " << t.error;
    }
}

TEST(OleDbTranslation, OnlyTheSqlServerProvidersAreTranslated) {
    const struct {
        const char* provider;
        bool sqlServer;
    } cases[] = {
        {"SQLOLEDB", true},
        {"sqloledb.1", true},
        {"SQLNCLI", true},
        {"SQLNCLI10", true},
        {"SQLNCLI11", true},
        {"MSOLEDBSQL", true},
        {"MSOLEDBSQL19", true},
        {" MSOLEDBSQL.19 ", true},
        {"MSDASQL", false},
        {"SQLOLEDBX", false},
        {"SQLOLEDB.", false},
        {"SQLNCLI11.x", false},
        {"Microsoft.Jet.OLEDB.4.0", false},
        {"", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(db::IsSqlServerOleDbProvider(c.provider), c.sqlServer) << c.provider;
    }
}

TEST(OdbcConnectionString, ProviderIsFoundOutsideBracesOnly) {
    EXPECT_EQ(db::OleDbProviderOf("Provider=SQLOLEDB;Server=h"), "SQLOLEDB");
    EXPECT_EQ(db::OleDbProviderOf(" provider = MSOLEDBSQL ;x=y"), "MSOLEDBSQL");
    EXPECT_EQ(db::OleDbProviderOf("Driver={x;Provider=y};Server=h"), std::nullopt);
    EXPECT_EQ(db::OleDbProviderOf("DSN=site;UID=sa"), std::nullopt);
}

TEST(OdbcConnectionString, ValuesAreBracedOnlyWhenTheyMustBe) {
    EXPECT_EQ(db::OdbcQuote("plain value"), "plain value");
    EXPECT_EQ(db::OdbcQuote("a;b"), "{a;b}");
    EXPECT_EQ(db::OdbcQuote("x}y{"), "{x}}y{}");
    EXPECT_EQ(db::OdbcQuote(" lead"), "{ lead}");
    EXPECT_EQ(db::OdbcQuote(""), "");
    // What is braced reads back as it was.
    for (std::string value : {"a;b", "x}}y", "{", " both "}) {
        const auto pairs = db::ParseConnectionString("K=" + db::OdbcQuote(value) + ";N=1",
                                                     db::ValueQuoting::Braces)
                               .pairs;
        ASSERT_EQ(pairs.size(), 2u) << value;
        EXPECT_EQ(pairs[0].value, value);
        EXPECT_EQ(pairs[1].value, "1");
    }
}

}  // namespace
