#include <gtest/gtest.h>

#include "output/database/database_connection_string.h"

TEST(ConnectionString, ProviderFollowsMdbTypeAndPathEndsTheString) {
    EXPECT_EQ(BuildConnectionString(0, "/data/在庫.mdb"), "Provider=SQLite3;Data Source=/data/在庫.mdb");
    for (const int16_t type : {1, 2, -1}) {
        EXPECT_EQ(BuildConnectionString(type, "/d/x.mdb"), "Provider=SQLite3.Legacy;Data Source=/d/x.mdb");
    }
}

TEST(ConnectionString, ParseGivesBackWhatWasBuilt) {
    // Paths that hold the string's own separators must come back whole.
    for (const char* path : {"/d/x.mdb", "/a;b/c=d.mdb", "/x/Data Source=y;.mdb", "rel/在庫.mdb", "/d/ ;"}) {
        for (const int16_t type : {0, 1}) {
            const auto target = ParseConnectionString(BuildConnectionString(type, path));
            ASSERT_TRUE(target) << path;
            EXPECT_EQ(target->DataSource, path);
            EXPECT_EQ(target->Provider, type == 0 ? DatabaseProvider::Current : DatabaseProvider::Legacy);
        }
    }
}

TEST(ConnectionString, ParseRefusesMalformedStrings) {
    for (const char* text :
         {"", "Provider=SQLite3;",
          "Provider=SQLite3;Data Source=", "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=/d/x.mdb",
          "Provider=sqlite3;Data Source=/d/x.mdb", "Data Source=/d/x.mdb;Provider=SQLite3;",
          "Provider=SQLite3;Extra=1;Data Source=/d/x.mdb", "Provider=SQLite3"}) {
        std::string why;
        EXPECT_FALSE(ParseConnectionString(text, &why)) << text;
        EXPECT_FALSE(why.empty()) << text;
    }
}
