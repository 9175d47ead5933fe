// The local directory store, write side: store, delete, make a folder and move,
// what each answers and what the file system holds afterwards, including the
// refusals and names that a shell would have read as commands.

#include "datasource/UnixTmpDirDataSource.h"

#include "datasource/StoreTestHelpers.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <climits>
#include <sys/stat.h>
#include <unistd.h>

using testsupport::IsDirectory;
using testsupport::MakeDirs;
using testsupport::PathExists;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;
using namespace storetest;

namespace {

// A root folder with a sibling beside it, to tell whether a change climbed out.
struct Sandbox {
    TempDir top;
    std::string root = top / "root";
    UnixTmpDirDataSource store{root};
    Sandbox()
    {
        MakeDirs(root);
        WriteFile(top / "outside.txt", "keep");
        MakeDirs(top / "outdir");
    }
    std::string at(const std::string& relative) const { return root + "/" + relative; }
    // Everything beside the root is as the sandbox made it.
    void expectOutsideUntouched() const
    {
        EXPECT_EQ(EntryNames(top.path()), (std::vector<std::string>{"outdir", "outside.txt", "root"}));
        EXPECT_EQ(ReadFile(top / "outside.txt"), "keep");
        EXPECT_TRUE(EntryNames(top / "outdir").empty());
    }
};

TEST(UnixTmpDirDataSourcePut, CreatesAndReplaces)
{
    Sandbox s;
    EXPECT_TRUE(s.store.putData(Bytes("new file"), "/vol/a.txt"));
    EXPECT_EQ(ReadFile(s.at("a.txt")), "new file");

    WriteFile(s.at("ten"), "0123456789");
    EXPECT_TRUE(s.store.putData(Bytes("abc"), "/vol/ten"));
    EXPECT_EQ(ReadFile(s.at("ten")), "abc") << "the old tail must be cut off";

    EXPECT_TRUE(s.store.putData(nullptr, "/vol/none"));
    EXPECT_EQ(ReadFile(s.at("none")), "");
    EXPECT_TRUE(s.store.putData(Bytes(""), "/vol/ten"));
    EXPECT_EQ(ReadFile(s.at("ten")), "");
    s.expectOutsideUntouched();
}

TEST(UnixTmpDirDataSourcePut, RefusalsStoreNothing)
{
    Sandbox s;
    MakeDirs(s.at("dir/inner"));
    WriteFile(s.at("file"), "f");
    ASSERT_EQ(symlink(s.at("gone").c_str(), s.at("dangling").c_str()), 0);

    struct Case {
        const char* uri;
        const char* why;
    };
    const Case refused[] = {
        {"/vol/dir", "a directory stands there"},
        {"/vol/dir/", "a directory stands there"},
        {"/vol/missing/x.txt", "missing parent"},
        {"/vol/file/x.txt", "a file as parent"},
        {"/vol/dangling", "a link to nowhere is not followed"},
        {"/vol", "no path"},
        {"/vol/../outside.txt", "outside the root"},
        {"/vol/../escape.txt", "outside the root"},
        {"/vol/dir/../../outdir/x", "outside the root"},
    };
    for (const auto& c : refused)
        EXPECT_FALSE(s.store.putData(Bytes("data"), c.uri)) << c.uri << ": " << c.why;

    EXPECT_EQ(EntryNames(s.root), (std::vector<std::string>{"dangling", "dir", "file"}));
    EXPECT_EQ(EntryNames(s.at("dir")), (std::vector<std::string>{"inner"}));
    EXPECT_FALSE(PathExists(s.at("gone")));
    EXPECT_EQ(ReadFile(s.at("file")), "f");
    s.expectOutsideUntouched();
}

TEST(UnixTmpDirDataSourceDelete, RemovesFilesAndWholeFolders)
{
    Sandbox s;
    WriteFile(s.at("f"), "x");
    MakeDirs(s.at("d/e/f"));
    WriteFile(s.at("d/e/f/g"), "deep");
    WriteFile(s.at("keep"), "k");

    EXPECT_EQ(s.store.delete_("/vol/f"), 204);
    EXPECT_EQ(s.store.delete_("/vol/d/"), 204);
    EXPECT_EQ(s.store.delete_("/vol/missing"), 204);
    EXPECT_EQ(s.store.delete_("/vol/missing/deeper/"), 204);
    EXPECT_EQ(EntryNames(s.root), (std::vector<std::string>{"keep"}));
    s.expectOutsideUntouched();
}

TEST(UnixTmpDirDataSourceDelete, NeverReachesOutsideTheRoot)
{
    Sandbox s;
    WriteFile(s.top / "outdir/precious", "p");
    // A link inside the root to a folder outside: the link goes, the folder stays.
    ASSERT_EQ(symlink((s.top / "outdir").c_str(), s.at("link").c_str()), 0);
    EXPECT_EQ(s.store.delete_("/vol/link"), 204);
    EXPECT_FALSE(PathExists(s.at("link")));
    EXPECT_EQ(ReadFile(s.top / "outdir/precious"), "p");

    for (const char* uri : {"/vol/../outside.txt", "/vol/../outdir", "/vol/..", "/vol/x/../../outdir/", "/vol"})
        EXPECT_EQ(s.store.delete_(uri), 204) << uri;
    EXPECT_EQ(ReadFile(s.top / "outside.txt"), "keep");
    EXPECT_EQ(ReadFile(s.top / "outdir/precious"), "p");
    EXPECT_TRUE(IsDirectory(s.root));
}

TEST(UnixTmpDirDataSourceMkcol, StatusesAndResult)
{
    Sandbox s;
    WriteFile(s.at("file"), "f");
    MakeDirs(s.at("dir"));

    struct Case {
        const char* uri;
        int status;
    };
    const Case cases[] = {
        {"/vol/new", 201},          {"/vol/dir/sub/", 201},
        {"/vol/file", 405},         {"/vol/dir", 405},
        {"/vol/new", 405},          {"/vol/missing/sub", 403},
        {"/vol/file/sub", 403},     {"/vol", 403},
        {"/vol/../made", 403},      {"/vol/dir/../../outdir/made", 403},
    };
    for (const auto& c : cases)
        EXPECT_EQ(s.store.mkCollection(c.uri), c.status) << c.uri;

    EXPECT_TRUE(IsDirectory(s.at("new")));
    EXPECT_TRUE(IsDirectory(s.at("dir/sub")));
    EXPECT_FALSE(PathExists(s.at("missing")));
    EXPECT_EQ(ReadFile(s.at("file")), "f");
    s.expectOutsideUntouched();
}

TEST(UnixTmpDirDataSourceMove, RenamesReplacesAndRefuses)
{
    Sandbox s;
    WriteFile(s.at("a"), "A");
    WriteFile(s.at("b"), "B");
    MakeDirs(s.at("dir/sub"));
    WriteFile(s.at("dir/sub/x"), "X");

    EXPECT_EQ(s.store.move("/vol/a", std::string("/vol/a2")), 201);
    EXPECT_EQ(ReadFile(s.at("a2")), "A");
    EXPECT_FALSE(PathExists(s.at("a")));

    EXPECT_EQ(s.store.move("/vol/b", std::string("/vol/a2")), 201) << "mv replaces a file";
    EXPECT_EQ(ReadFile(s.at("a2")), "B");

    EXPECT_EQ(s.store.move("/vol/dir/", std::string("/vol/moved")), 201);
    EXPECT_EQ(ReadFile(s.at("moved/sub/x")), "X");

    EXPECT_EQ(s.store.move("/vol/a2", std::string("/vol/missing/a2")), 412);
    EXPECT_EQ(ReadFile(s.at("a2")), "B") << "a failed move leaves the source";
    EXPECT_EQ(s.store.move("/vol/nothing", std::string("/vol/else")), 412);
    EXPECT_EQ(s.store.move("/vol/a2", std::nullopt), 412);
    EXPECT_EQ(s.store.move("/vol", std::string("/vol/x")), 412);
    EXPECT_EQ(s.store.move("/vol/a2", std::string("/vol")), 412);

    // Either side outside the root: nothing moves.
    EXPECT_EQ(s.store.move("/vol/a2", std::string("/vol/../stolen")), 412);
    EXPECT_EQ(s.store.move("/vol/a2", std::string("/vol/moved/../../outdir/a2")), 412);
    EXPECT_EQ(s.store.move("/vol/../outside.txt", std::string("/vol/taken")), 412);
    EXPECT_EQ(s.store.move("/vol/../outdir", std::string("/vol/taken")), 412);
    EXPECT_EQ(EntryNames(s.root), (std::vector<std::string>{"a2", "moved"}));
    s.expectOutsideUntouched();
}

// Names that a command interpreter would read as quoting, expansions, commands or
// options must reach mv unchanged and run nothing.
TEST(UnixTmpDirDataSourceMove, NamesAreNeverInterpreted)
{
    Sandbox s;
    char cwd[PATH_MAX];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);

    const std::string names[] = {
        "quote\"d",     "$(touch pwned)", "`touch pwned`", "back\\slash\\", "-n",
        "--help",       "it's",           "semi;colon&",   "$HOME",         "a b  c",
        "new\nline",    "star*?[x]",      "%2e%2e",        "-",             "\\\"$(touch pwned)\\\"",
    };
    int serial = 0;
    for (const auto& name : names) {
        std::string plain = "plain" + std::to_string(serial++);
        WriteFile(s.at(name), name);
        // Away from the odd name, then back to it.
        EXPECT_EQ(s.store.move("/vol/" + name, "/vol/" + plain), 201) << name;
        EXPECT_EQ(ReadFile(s.at(plain)), name);
        EXPECT_EQ(s.store.move("/vol/" + plain, "/vol/" + name), 201) << name;
        EXPECT_TRUE(PathExists(s.at(name))) << name;
        EXPECT_FALSE(PathExists(s.at(plain))) << name;
        EXPECT_EQ(ReadFile(s.at(name)), name);
    }
    EXPECT_EQ(EntryNames(s.root).size(), std::size(names));
    for (const auto& folder : {s.root, s.top.path(), std::string(cwd)})
        EXPECT_FALSE(PathExists(folder + "/pwned")) << "a command ran in " << folder;
    s.expectOutsideUntouched();
}

// Restores the working folder when the test ends.
struct WorkingFolder {
    std::string saved;
    explicit WorkingFolder(const std::string& path)
    {
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof cwd))
            saved = cwd;
        if (chdir(path.c_str()) != 0)
            ADD_FAILURE() << "chdir " << path;
    }
    ~WorkingFolder()
    {
        if (!saved.empty() && chdir(saved.c_str()) != 0)
            ADD_FAILURE() << "chdir back";
    }
};

TEST(UnixTmpDirDataSourceMove, PathsBeginningWithADashAreNotOptions)
{
    // A relative root that begins with "-" puts the dash at the start of both paths.
    TempDir top;
    MakeDirs(top / "-r");
    WriteFile(top / "-r/-f", "content");
    WorkingFolder here(top.path());
    UnixTmpDirDataSource store("-r");
    EXPECT_EQ(store.move("/vol/-f", std::string("/vol/-g")), 201);
    EXPECT_EQ(ReadFile(top / "-r/-g"), "content");
    EXPECT_FALSE(PathExists(top / "-r/-f"));
}

} // namespace
