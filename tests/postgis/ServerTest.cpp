#include <gtest/gtest.h>
#include "support/PostgresServer.h"
TEST(Server, StartsAndRestarts)
{
    PostgresServer& pg = SharedPostgres();
    ASSERT_TRUE(pg.Start()) << pg.Problem();
    ASSERT_TRUE(pg.CreateDatabase("t1")) << pg.Problem();
    std::vector<std::string> rows;
    ASSERT_TRUE(pg.Query("t1", "SELECT postgis_version()", &rows)) << pg.Problem();
    printf("%s\n", rows[0].c_str());
    ASSERT_TRUE(pg.Stop());
    ASSERT_TRUE(pg.Start()) << pg.Problem();
}
