#include "binding/quorlin_binding.h"
#include "support/temp_folder.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <string>

#include "termsim.h"

namespace {

TEST(BindQuorlin, MissingLibraryIsRetriedOnTheNextCall) {
    TempFolder folder;
    ASSERT_TRUE(folder.Valid());
    EXPECT_EQ(BindQuorlin(folder.Path()), nullptr);

    ASSERT_TRUE(folder.CopyLibrary(BinDir()));
    const LinkApi* api = BindQuorlin(folder.Path());
    ASSERT_NE(api, nullptr);
    EXPECT_NE(api->vbOpenIrCom, nullptr);
    EXPECT_NE(api->ClearIrCom, nullptr);
    EXPECT_NE(api->WriteIrCom, nullptr);
    EXPECT_NE(api->vbReadIrCom, nullptr);
    EXPECT_NE(api->CloseIrCom, nullptr);
    ASSERT_NE(api->IrComState, nullptr);
    EXPECT_EQ(api->IrComState(), 0) << "no port is open";
    EXPECT_EQ(BindQuorlin(folder.Path()), api) << "the binding is cached";
}

TEST(BindQuorlin, LibraryWithoutIrComStateIsStillALink) {
    TempFolder folder;
    ASSERT_TRUE(folder.CopyFile(OLDER_QUORLIN_PATH, "libquorlin.so"));
    const LinkApi* api = BindQuorlin(folder.Path());
    ASSERT_NE(api, nullptr);
    EXPECT_NE(api->vbReadIrCom, nullptr);
    EXPECT_EQ(api->IrComState, nullptr);
}

TEST(BindQuorlin, LibraryWithoutAllFiveEntryPointsIsNoLink) {
    TempFolder folder;
    ASSERT_TRUE(folder.CopyFile(INCOMPLETE_QUORLIN_PATH, "libquorlin.so"));
    EXPECT_EQ(BindQuorlin(folder.Path()), nullptr);
}

TEST(BindQuorlin, FileThatIsNoLibraryIsNoLink) {
    TempFolder folder;
    ASSERT_TRUE(folder.CopyFile(std::string(TEST_SOURCE_DIR) + "/CMakeLists.txt", "libquorlin.so"));
    EXPECT_EQ(BindQuorlin(folder.Path()), nullptr);
}

TEST(BindQuorlin, EachProgramFolderGetsItsOwnCopy) {
    // Each copy keeps its own port state and finds ports/ beside itself.
    TempFolder first;
    TempFolder second;
    ASSERT_TRUE(first.CopyLibrary(BinDir()));
    ASSERT_TRUE(second.CopyLibrary(BinDir()));
    const LinkApi* a = BindQuorlin(first.Path());
    const LinkApi* b = BindQuorlin(second.Path());
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a->vbOpenIrCom, b->vbOpenIrCom);
}

TEST(ExecutableFolder, IsTheFolderOfThisTest) {
    const std::string folder = ExecutableFolder();
    ASSERT_FALSE(folder.empty());
    EXPECT_NE(folder.back(), '/');
    struct stat info {};
    EXPECT_EQ(stat((folder + "/binding_quorlin_tests").c_str(), &info), 0) << folder;
}

}  // namespace
