// Behaviour particular to the Windows build: arguments are taken without
// wildcard expansion, paths are built with '\', console lines end with CR LF
// while the reports keep exactly one CR LF per line, cycles of directory
// links end, and every file is read under its own name, however it is spelt
// and however deep.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/platform_win32.h"
#include "test_support.h"

namespace {

TEST(Windows, WildcardsInArgumentsAreNotExpanded)
{
    TempDir dir;
    make_dirs(dir / "a");
    write_file(dir / "a/x.tex", "\\x");
    // Expanded, '*' would name the directory "a"; taken as it stands, it
    // names no directory at all.
    for (const std::string pattern : {"*", "?", "a*", "*.*"}) {
        ToolRun run = run_tool(dir.path(), {pattern});
        EXPECT_EQ(run.status, 1) << pattern;
        EXPECT_EQ(without_reasons(run.err), "Cannot read " + pattern + "\\: REASON\r\n");
        EXPECT_EQ(read_file(dir / "command.lst"), "") << pattern;
    }
}

TEST(Windows, PathsUseBackslashesAndConsoleLinesEndWithCrLf)
{
    TempDir dir;
    make_dirs(dir / "src/sub");
    write_file(dir / "src/sub/a.tex", "\\a\n\\b\r\n");
    // A last part's ending dots and spaces go, as every Windows program's do.
    for (const char *argument : {"src", "src\\", "src.", "src ", "src. ."}) {
        ToolRun run = run_tool(dir.path(), {argument});
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.err, "Analyzing src\\sub\\a.tex.\r\n") << argument;
        EXPECT_EQ(read_file(dir / "command.all"), "a\r\nb\r\n");
        EXPECT_EQ(read_file(dir / "command.lst"), "a\r\nb\r\n");
    }
    // Messages keep the spelling of the argument, never the system's form.
    struct {
        std::string cwd;
        const char *argument;
        const char *expected_err;
    } cases[] = {
        {dir / "src", "", "Analyzing .\\sub\\a.tex.\r\n"},
        {dir / "src/sub", "..\\..\\src", "Analyzing ..\\..\\src\\sub\\a.tex.\r\n"},
        {dir / "src", "sub/", "Analyzing sub/a.tex.\r\n"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(run_tool(c.cwd, {c.argument}).err, c.expected_err) << c.argument;
    // Parts of dots alone and extended-length paths are taken as they stand.
    const char *const kept[][2] = {{"D:\\x\\...", "D:\\x\\...\\"},
                                   {"..", "..\\"},
                                   {"D:", "D:"},
                                   {"\\\\?\\C:\\x.", "\\\\?\\C:\\x.\\"},
                                   {"D:\\a.b", "D:\\a.b\\"}};
    for (const auto &k : kept)
        EXPECT_EQ(directory_path(k[0]), k[1]) << k[0];
}

TEST(Windows, TheProgramCarriesItsVersion)
{
    std::wstring exe = widen(QUILLMAP_EXE);
    DWORD size = GetFileVersionInfoSizeW(exe.c_str(), nullptr);
    ASSERT_GT(size, 0u);
    std::vector<char> info(size);
    ASSERT_TRUE(GetFileVersionInfoW(exe.c_str(), 0, size, info.data()));
    wchar_t *version = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\StringFileInfo\\040904B0\\ProductVersion",
                               reinterpret_cast<void **>(&version), &length));
    EXPECT_EQ(narrow(std::wstring(version, length > 0 ? length - 1 : 0)), QUILLMAP_VERSION);
}

TEST(Windows, ACycleOfDirectoryLinksEnds)
{
    TempDir dir;
    make_dirs(dir / "loop/sub");
    write_file(dir / "loop/in.tex", "\\in");
    std::string link = dir / "loop/sub/up";
    std::string target = dir / "loop";
    if (!CreateSymbolicLinkA(link.c_str(), target.c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY))
        GTEST_SKIP() << "directory links cannot be made here (error " << GetLastError() << ")";
    ToolRun run = run_tool(dir.path(), {"loop"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "Analyzing loop\\in.tex.\r\n");
    RemoveDirectoryA(link.c_str());
}

} // namespace

namespace {

TEST(Windows, ExtendedLengthPaths)
{
    // Real Windows refuses a path past 260 characters unless it is in this
    // form; Wine does not, so the form is checked here on its own.
    struct {
        const wchar_t *path;
        const wchar_t *base;
        const wchar_t *expected;
    } cases[] = {
        {L"src", L"C:\\work", L"\\\\?\\C:\\work\\src"},
        {L"src\\sub\\", L"C:\\work\\", L"\\\\?\\C:\\work\\src\\sub"},
        {L"..\\tree\\src\\a.tex", L"C:\\work\\build", L"\\\\?\\C:\\work\\tree\\src\\a.tex"},
        {L"..\\..\\..", L"C:\\work", L"\\\\?\\C:\\"},
        {L"C:\\a\\.\\b\\..\\c", L"D:\\x", L"\\\\?\\C:\\a\\c"},
        {L"C:/a/b", L"D:\\x", L"\\\\?\\C:\\a\\b"},
        {L"D:sub\\x.tex", L"D:\\current", L"\\\\?\\D:\\current\\sub\\x.tex"}, // drive-relative
        {L"D:", L"D:\\current", L"\\\\?\\D:\\current"},                       // a bare drive
        {L"\\top\\x", L"C:\\work", L"\\\\?\\C:\\top\\x"},                     // the drive's root
        {L"\\\\server\\share\\a\\..\\b", L"C:\\w", L"\\\\?\\UNC\\server\\share\\b"},
        {L"\\\\server\\share\\..", L"C:\\w", L"\\\\?\\UNC\\server\\share\\"},
        {L"\\\\?\\C:\\x\\..\\y", L"C:\\w", L"\\\\?\\C:\\x\\..\\y"}, // taken as it is
        {L"x", L"\\\\?\\C:\\deep", L"\\\\?\\C:\\deep\\x"},
        {L"x", L"\\\\?\\UNC\\server\\share", L"\\\\?\\UNC\\server\\share\\x"},
        {L"sect.\\name \\aux.tex", L"C:\\w", L"\\\\?\\C:\\w\\sect.\\name \\aux.tex"},
        // The device namespace, and the prefixes spelt with slashes.
        {L"\\\\.\\C:\\dir", L"D:\\x", L"\\\\?\\C:\\dir"},
        {L"//./C:/dir/../x", L"D:\\x", L"\\\\?\\C:\\x"},
        {L"//?/C:/dir", L"D:\\x", L"\\\\?\\C:\\dir"},
        {L"\\\\.\\C:", L"D:\\x", L"\\\\?\\C:\\"},
        {L"\\\\.\\UNC\\server\\share\\d", L"C:\\w", L"\\\\?\\UNC\\server\\share\\d"},
        {L"//./pipe/name", L"C:\\w", L"\\\\.\\pipe\\name"},
    };
    for (const auto &c : cases)
        EXPECT_TRUE(extended_length_path(c.path, c.base) == c.expected)
            << c.path << " from " << c.base;
}

// A file for each kind of name that the ANSI interface loses or mistakes,
// each holding a command of its own. `outside` is the file that a name with
// fullwidth backslashes would reach if they were taken for separators.
struct NamedSource {
    std::string path; // below the tree, '/' for the separator
    std::string command;
};

std::vector<NamedSource> unicode_tree()
{
    std::string deep;
    for (char c = 'a'; c < 'i'; ++c)
        deep += std::string(50, c) + "/";
    return {
        {"Ελληνικά/α.tex", "greek"},
        {"Кириллица/ж.tex", "cyrillic"},
        {"中文/文件.tex", "cjk"},
        {"emoji😀/😀.tex", "emoji"},
        {"Zażółć.tex", "polish"},
        {"a.tex", "plain"},
        {"ā.tex", "macron"},
        {"paper.tex", "paper"},
        {"ｐａｐｅｒ.tex", "fullwidth"},
        {"x＼..＼..＼outside.tex", "backslashes"},
        {"aux.tex", "aux"},
        {"com1.tex", "comone"},
        {"con.tex", "con"},
        {"nul.tex", "nul"},
        {"prn.tex", "prn"},
        {"lpt1.tex", "lptone"},
        {"sect/x.tex", "sect"},
        {"sect./x.tex", "sectdot"},
        {"dot./x.tex", "dot"},
        {"name /x.tex", "space"},
        {deep + "x.tex", "deep"},
    };
}

// Wine takes its ANSI code page from the locale it is started in: 1252 in
// most, 932 in ja_JP.UTF-8. The tests run in both (see .ci/run).
TEST(Windows, EveryNameIsReadAsItselfInAnyCodePage)
{
    {
        TempDir dir;
        std::vector<std::string> commands;
        for (const NamedSource &source : unicode_tree()) {
            std::string path = dir / ("t/" + source.path);
            make_dirs(path.substr(0, path.rfind(kSep)));
            write_file(path, "\\" + source.command);
            commands.push_back(source.command);
        }
        write_file(dir / "outside.tex", "\\outside");
        write_file(dir / "t/café.tex", "\\cafe");
        commands.push_back("cafe");
        ToolRun run = run_tool(dir.path(), {"t"});
        EXPECT_EQ(run.status, 0);
        std::sort(commands.begin(), commands.end());
        EXPECT_EQ(read_file(dir / "command.lst"), crlf_lines(commands)) << run.err;
        // Each file once; a name the code page cannot hold shows as '?'.
        size_t announced = 0;
        for (size_t at = run.err.find("Analyzing t\\"); at != std::string::npos;
             at = run.err.find("Analyzing t\\", at + 1))
            ++announced;
        EXPECT_EQ(announced, commands.size());
        EXPECT_NE(run.err.find("Analyzing t\\sect.\\x.tex.\r\n"), std::string::npos);
        EXPECT_NE(run.err.find("Analyzing t\\aux.tex.\r\n"), std::string::npos);
        const char *cafe = GetACP() == 932 ? "caf?" : "caf\xe9"; // no look-alike 'e'
        EXPECT_NE(run.err.find(std::string("Analyzing t\\") + cafe + ".tex.\r\n"),
                  std::string::npos)
            << "code page " << GetACP();
    }
}

TEST(Windows, AnArgumentEndingInTheByte5CInCodePage932)
{
    // "発表" ends in the byte 0x5C in code page 932, which the narrow
    // interface took for a separator.
    if (GetACP() != 932) {
        // CI runs the tests in code page 932 with QUILLMAP_CODE_PAGE=932 set.
        if (getenv("QUILLMAP_CODE_PAGE") != nullptr)
            FAIL() << "code page " << GetACP() << ", not 932: the locale was not taken";
        GTEST_SKIP() << "needs code page 932: run the tests under LC_ALL=ja_JP.UTF-8";
    }
    TempDir dir;
    make_dirs(dir / "発表");
    write_file(dir / "発表/x.tex", "\\happyou");
    ToolRun run = run_tool(dir.path(), {"発表"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "Analyzing \x94\xad\x95\x5c\\x.tex.\r\n"); // in code page 932
    EXPECT_EQ(read_file(dir / "command.lst"), "happyou\r\n");
}

TEST(Windows, ABareDriveIsItsCurrentDirectory)
{
    TempDir dir;
    make_dirs(dir / "here/sub");
    write_file(dir / "here/a.tex", "\\a");
    write_file(dir / "here/sub/b.tex", "\\b");
    std::string drive = dir.path().substr(0, 2); // "C:"
    ToolRun run = run_tool(dir / "here", {drive});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(read_file(dir / "here/command.lst"), "a\r\nb\r\n");
    EXPECT_NE(run.err.find("Analyzing " + drive + "a.tex.\r\n"), std::string::npos);
    EXPECT_NE(run.err.find("Analyzing " + drive + "sub\\b.tex.\r\n"), std::string::npos);
}

TEST(Windows, ReportsKeepTheirAttributesAndOnlyLeftoversAreRemoved)
{
    // A read-only stale .all file is not appended to, and a read-only .lst
    // file not replaced; a hidden report stays hidden. A temporary file that
    // an ended run left is removed, one that a live run holds open is not.
    TempDir dir;
    make_dirs(dir / "in");
    write_file(dir / "in/x.tex", "\\new\\begin{doc}");
    for (const char *report : {"command.all", "command.lst", "environment.lst"})
        write_file(dir / report, "old\r\n");
    for (const char *report : {"command.all", "command.lst"})
        ASSERT_TRUE(SetFileAttributesA((dir / report).c_str(), FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(SetFileAttributesA((dir / "environment.lst").c_str(), FILE_ATTRIBUTE_HIDDEN));
    write_file(dir / "environment.lst.quillmap-ended", "");
    write_file(dir / "environment.lst.quillmap-live", "");
    HANDLE live = CreateFileW(widen(dir / "environment.lst.quillmap-live").c_str(), GENERIC_WRITE,
                              FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(live, INVALID_HANDLE_VALUE);
    ToolRun run = run_tool(dir.path(), {"in"});
    CloseHandle(live);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "Analyzing in\\x.tex.\r\nCannot write command.all: Permission denied\r\n"
                       "Cannot write command.lst: Permission denied\r\n");
    EXPECT_EQ(read_file(dir / "command.all"), "old\r\n");
    EXPECT_EQ(read_file(dir / "command.lst"), "old\r\n");
    EXPECT_EQ(read_file(dir / "environment.lst"), "doc\r\n");
    DWORD attributes = GetFileAttributesW(widen(dir / "environment.lst").c_str());
    EXPECT_TRUE(attributes & FILE_ATTRIBUTE_HIDDEN);
    EXPECT_FALSE(file_exists(dir / "environment.lst.quillmap-ended"));
    EXPECT_TRUE(file_exists(dir / "environment.lst.quillmap-live"));
}

// `path` spelt on another drive: under Wine, drive Z: holds the whole Unix
// file system, and so every directory a second time, as a mapped drive holds
// a share's. Empty where there is no such spelling.
std::string spelt_on_drive_z(const std::string &path)
{
    typedef char *(__cdecl * UnixName)(const wchar_t *);
    UnixName unix_name = reinterpret_cast<UnixName>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleA("kernel32"), "wine_get_unix_file_name")));
    char *name = unix_name != nullptr ? unix_name(widen(path).c_str()) : nullptr;
    if (name == nullptr)
        return "";
    std::string spelt = std::string("Z:") + name;
    HeapFree(GetProcessHeap(), 0, name);
    for (char &c : spelt)
        if (c == '/')
            c = '\\';
    return path.compare(0, 2, "Z:") == 0 ? "" : spelt;
}

TEST(Windows, OneLockForADirectoryHoweverItIsSpelt)
{
    // On another drive (as a mapped drive beside a share), in extended-length
    // form, in other case, through a link where one can be made: one
    // directory, one lock; another directory, another.
    TempDir dir;
    make_dirs(dir / "work");
    make_dirs(dir / "other");
    std::wstring work, other, spelling;
    ASSERT_TRUE(directory_lock_name(widen(dir / "work"), &work));
    ASSERT_TRUE(directory_lock_name(widen(dir / "other"), &other));
    EXPECT_TRUE(work != other);
    std::vector<std::string> spellings = {dir.path() + "\\WORK", "\\\\?\\" + (dir / "work")};
    std::string on_z = spelt_on_drive_z(dir / "work");
    if (!on_z.empty())
        spellings.push_back(on_z);
    std::string link = dir / "link";
    if (CreateSymbolicLinkA(link.c_str(), (dir / "work").c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY) &&
        GetFileAttributesA(link.c_str()) != INVALID_FILE_ATTRIBUTES)
        spellings.push_back(link);
    EXPECT_GE(spellings.size(), 3u) << "no second drive and no link: too few spellings";
    for (const std::string &spelt : spellings)
        EXPECT_TRUE(directory_lock_name(widen(spelt), &spelling) && spelling == work) << spelt;
    RemoveDirectoryA(link.c_str());
}

TEST(Windows, ADriveRelativeArgumentAfterTheConsoleVisitedTheDrive)
{
    // The console keeps a current directory for each drive it visited; a
    // drive-relative argument is taken in that one, from another drive.
    TempDir dir;
    make_dirs(dir / "texs/inner");
    make_dirs(dir / "work");
    write_file(dir / "texs/inner/x.tex", "\\inner");
    std::string work = spelt_on_drive_z(dir / "work");
    if (work.empty())
        GTEST_SKIP() << "no second drive";
    std::string batch = dir / "visit.bat";
    write_file(batch, "@cd /d " + (dir / "texs") + "\r\n@cd /d " + work + "\r\n@%*\r\n");
    std::string drive = dir.path().substr(0, 2);
    for (const std::string &argument : {drive + "inner", drive}) {
        ToolRun run = run_tool(dir / "work", {argument}, batch);
        EXPECT_EQ(run.status, 0) << argument;
        EXPECT_EQ(run.err, "Analyzing " + drive + "inner\\x.tex.\r\n");
        EXPECT_EQ(read_file(dir / "work/command.lst"), "inner\r\n") << argument;
    }
}

TEST(Windows, ABareDriveThatCannotBeListedIsNamedOnce)
{
    TempDir dir;
    for (char letter = 'Q'; letter <= 'Y'; ++letter) {
        std::string drive = std::string(1, letter) + ":";
        if (GetDriveTypeA((drive + "\\").c_str()) != DRIVE_NO_ROOT_DIR)
            continue;
        ToolRun run = run_tool(dir.path(), {drive});
        const std::string said = "Cannot read " + drive + " ";
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err.compare(0, said.size(), said), 0) << run.err;
        EXPECT_EQ(run.err.find("::"), std::string::npos) << run.err;
        return;
    }
    GTEST_SKIP() << "every drive letter is in use";
}

TEST(Windows, ANameWithAnUnpairedSurrogateIsReadAsItself)
{
    TempDir dir;
    make_dirs(dir / "in");
    std::wstring name = L"lone";
    name += wchar_t(0xD800);
    std::string path = dir / "in/" + narrow(name) + ".tex";
    try {
        write_file(path, "\\lone");
    } catch (const std::exception &) {
        GTEST_SKIP() << "the file system here does not take such a name";
    }
    std::vector<std::string> listed = listing_order(dir / "in");
    if (listed.size() != 1 || listed[0] != narrow(name) + ".tex")
        GTEST_SKIP() << "the file system here does not keep such a name";
    ToolRun run = run_tool(dir.path(), {"in"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(read_file(dir / "command.lst"), "lone\r\n");
}

// FindFirstFileW as it answers at the root of an empty FAT or exFAT volume,
// which lists nothing at all: not even "." and "..".
void *nothing_listed(const wchar_t *, void *)
{
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
}

TEST(Windows, AVolumeRootThatListsNothingIsAnEmptyDirectory)
{
    // Every directory here lists "." at least, so the test answers for the
    // system: a directory that is there and lists nothing is empty; one that
    // is not there still cannot be read.
    TempDir dir;
    make_dirs(dir / "root");
    void *(*system)(const wchar_t *, void *) = find_first_file;
    find_first_file = nothing_listed;
    DirectoryListing root, missing;
    ListStatus root_status = list_directory(dir / "root" + "\\", &root);
    ListStatus missing_status = list_directory(dir / "missing" + "\\", &missing);
    find_first_file = system;
    EXPECT_EQ(root_status, kListed);
    EXPECT_TRUE(root.entries.empty());
    EXPECT_EQ(missing_status, kListUnopened);
}

} // namespace
