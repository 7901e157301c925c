#include "IxoWebServerStartup.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <vector>

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace IxoWebservice;

// Owns argument texts and hands them out as argc/argv.
class Args {
public:
    Args(std::initializer_list<std::string> args) : texts(args)
    {
        for (std::string& t : texts)
            pointers.push_back(&t[0]);
        pointers.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(texts.size()); }
    char** argv() { return pointers.data(); }

private:
    std::vector<std::string> texts;
    std::vector<char*> pointers;
};

TEST(GetVerboseModeEnabled, Table)
{
    struct Case {
        Args args;
        bool verbose;
    };
    Case cases[] = {
        {{"IxoWebServerBSD"}, false},
        {{"IxoWebServerBSD", "-v"}, true},
        {{"IxoWebServerBSD", "/v"}, true},
        {{"IxoWebServerBSD", "-verbose"}, true},
        {{"IxoWebServerBSD", "/verbose"}, true},
        {{"-v"}, true},  // the program name counts too
        {{"IxoWebServerBSD", "-docroot", "/tmp", "-v"}, true},
        {{"IxoWebServerBSD", "-docroot", "-v"}, true},
        {{"IxoWebServerBSD", "-V"}, false},
        {{"IxoWebServerBSD", "-Verbose"}, false},
        {{"IxoWebServerBSD", "--v"}, false},
        {{"IxoWebServerBSD", "--verbose"}, false},
        {{"IxoWebServerBSD", "-v "}, false},
        {{"IxoWebServerBSD", "-vv"}, false},
        {{"IxoWebServerBSD", "v"}, false},
        {{"IxoWebServerBSD", ""}, false},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "argc " << c.args.argc() << " last \"" << c.args.argv()[c.args.argc() - 1]
                                        << '"');
        EXPECT_EQ(GetVerboseModeEnabled(c.args.argc(), c.args.argv()), c.verbose);
    }
    Args only_verbose{"-v"};
    EXPECT_FALSE(GetVerboseModeEnabled(0, only_verbose.argv()));
}

TEST(GetDoFork, NeverForks)
{
    Args args{"IxoWebServerBSD", "-fork", "/fork", "-d"};
    EXPECT_FALSE(GetDoFork(args.argc(), args.argv()));
    EXPECT_FALSE(GetDoFork(0, nullptr));
}

// A private directory tree: dir/, file, link-to-dir, link-to-file, dangling link.
class DocRootTest : public testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/ixo-docroot-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        base = pattern;
        dir = base + "/site";
        file = base + "/page.html";
        dir_link = base + "/site-link";
        file_link = base + "/page-link";
        dangling = base + "/nowhere-link";
        ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
        std::ofstream(file) << "x";
        ASSERT_EQ(symlink(dir.c_str(), dir_link.c_str()), 0);
        ASSERT_EQ(symlink(file.c_str(), file_link.c_str()), 0);
        ASSERT_EQ(symlink((base + "/missing").c_str(), dangling.c_str()), 0);
    }
    void TearDown() override
    {
        for (const std::string& p : {dangling, file_link, dir_link, file})
            unlink(p.c_str());
        rmdir((dir + "/made").c_str());
        rmdir(dir.c_str());
        rmdir(base.c_str());
    }

    std::string base, dir, file, dir_link, file_link, dangling;
};

constexpr const char* not_a_directory = "docroot path is not a directory";
constexpr const char* needs_value = "docroot option needs a value";

TEST_F(DocRootTest, Table)
{
    struct Case {
        Args args;
        std::string root;     // expected result when error is empty
        std::string error;    // expected message of the runtime error
    };
    Case cases[] = {
        {{"IxoWebServerBSD"}, "", ""},
        {{"IxoWebServerBSD", "-v"}, "", ""},
        {{"IxoWebServerBSD", "-docroot", dir}, dir, ""},
        {{"IxoWebServerBSD", "/docroot", dir}, dir, ""},
        {{"IxoWebServerBSD", "-v", "-docroot", dir_link}, dir_link, ""},
        {{"IxoWebServerBSD", "-docroot", dir + "/"}, dir + "/", ""},
        {{"IxoWebServerBSD", "-docroot", dir, "-docroot", file}, dir, ""},        // first one wins
        {{"IxoWebServerBSD", "/docroot", dir, "-docroot"}, dir, ""},
        {{"IxoWebServerBSD", "-docroot", file, "-docroot", dir}, "", not_a_directory},
        {{"IxoWebServerBSD", "-docroot", file}, "", not_a_directory},
        {{"IxoWebServerBSD", "-docroot", file_link}, "", not_a_directory},
        {{"IxoWebServerBSD", "-docroot", dangling}, "", not_a_directory},
        {{"IxoWebServerBSD", "-docroot", base + "/missing"}, "", not_a_directory},
        {{"IxoWebServerBSD", "-docroot", file + "/below"}, "", not_a_directory},
        {{"IxoWebServerBSD", "-docroot", ""}, "", not_a_directory},
        {{"IxoWebServerBSD", "-docroot", "-v"}, "", not_a_directory},
        {{"IxoWebServerBSD", "-docroot"}, "", needs_value},
        {{"IxoWebServerBSD", "-v", "/docroot"}, "", needs_value},
        {{"-docroot"}, "", needs_value},                                           // argument 0 counts
        {{"IxoWebServerBSD", "-DOCROOT", file}, "", ""},                            // case-sensitive
        {{"IxoWebServerBSD", "--docroot", file}, "", ""},
        {{"IxoWebServerBSD", "docroot", file}, "", ""},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "argc " << c.args.argc() << ", expecting \"" << c.root << "\" / \""
                                        << c.error << '"');
        if (c.error.empty()) {
            EXPECT_EQ(GetDocRoot(c.args.argc(), c.args.argv()), c.root);
        } else {
            try {
                GetDocRoot(c.args.argc(), c.args.argv());
                ADD_FAILURE() << "no exception";
            } catch (const std::runtime_error& e) {
                EXPECT_STREQ(e.what(), c.error.c_str());
            }
        }
    }
    Args none{"-docroot", dir};
    EXPECT_EQ(GetDocRoot(0, none.argv()), "");
}

TEST_F(DocRootTest, RelativeValueStaysRelative)
{
    char previous[4096];
    ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
    ASSERT_EQ(chdir(base.c_str()), 0);
    Args relative{"IxoWebServerBSD", "-docroot", "site"};
    Args dotted{"IxoWebServerBSD", "-docroot", "./site/../site"};
    EXPECT_EQ(GetDocRoot(relative.argc(), relative.argv()), "site");
    EXPECT_EQ(GetDocRoot(dotted.argc(), dotted.argv()), "./site/../site");
    ASSERT_EQ(chdir(previous), 0);
}

TEST_F(DocRootTest, EnsureSocketDirectoryCreatesOneLevelOnly)
{
    EXPECT_TRUE(EnsureSocketDirectory(dir));
    EXPECT_TRUE(EnsureSocketDirectory(file)) << "anything that exists is accepted";
    EXPECT_TRUE(EnsureSocketDirectory(dir + "/made"));
    struct stat st;
    ASSERT_EQ(stat((dir + "/made").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_FALSE(EnsureSocketDirectory(base + "/missing/deeper"));
    EXPECT_NE(stat((base + "/missing").c_str(), &st), 0);
}

TEST_F(DocRootTest, ChangeFileGroup)
{
    const struct group* own = getgrgid(getegid());
    ASSERT_NE(own, nullptr);
    const std::string own_group = own->gr_name;

    EXPECT_EQ(ChangeFileGroup(file, own_group), 0);
    EXPECT_EQ(ChangeFileGroup(file, "no-such-group-ixo"), -1);
    EXPECT_EQ(ChangeFileGroup(base + "/missing", own_group), -1);
}

}  // namespace
