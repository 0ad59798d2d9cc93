#include "platform/platform.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <set>

#include "common/path.h"
#include "temp_folder.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace dv::plat {
namespace {

using dv::testing::ReadAll;
using dv::testing::TempFolder;
using dv::testing::WriteAll;

const std::string S(1, kDirSep);

#if !defined(_WIN32)
// The modes of the copies' temporary files in one folder, as the file size
// limit's signal finds them part-way through a copy. The signal comes from
// the write it stops, on the copying thread, so nothing it uses is half done.
std::string g_watched;
std::vector<unsigned> g_tempModes;
void NoteTempModes(int) {
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(g_watched, ec))
    if (e.path().filename().string().rfind(".dv-copy-", 0) == 0)
      g_tempModes.push_back(static_cast<unsigned>(e.symlink_status(ec).permissions()));
}

// Who a permission refusal is tried on: the tests' own user, or nobody where
// they run as root, whom no permission refuses.
struct User {
  uid_t uid;
  gid_t gid;
};
std::optional<User> Unprivileged() {
  if (geteuid() != 0) return User{geteuid(), getegid()};
  const passwd* pw = getpwnam("nobody");
  if (pw == nullptr) return std::nullopt;
  return User{pw->pw_uid, pw->pw_gid};
}

// CopyFileReplace run as user in a child process: 1 copied, 0 not, -1 the
// child could not become user.
int CopyAs(const User& user, const std::string& from, const std::string& to) {
  const pid_t child = fork();
  if (child == 0) {
    if (geteuid() != user.uid &&
        (setgroups(0, nullptr) != 0 || setgid(user.gid) != 0 || setuid(user.uid) != 0))
      _exit(2);
    _exit(CopyFileReplace(from, to) ? 1 : 0);
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status) == 2 ? -1 : WEXITSTATUS(status);
}
#endif

// The same table runs against the system's reader on Windows and our own on
// POSIX, so both keep the same rules.
TEST(ReadProfileString, PrivateProfileRules) {
  TempFolder t;
  const std::string ini =
      "; note\r\n"
      "[Other]\r\nName=other\r\n"
      "  [ Step ]  \r\n"
      "Name = des , aes \r\n"
      "name=second\r\n"
      "Quoted=\"a b \"\r\n"
      "Single='x'\r\n"
      "Half=\"x\r\n"
      "Mixed=\"x'\r\n"
      "Empty=\r\n"
      "Eq=a=b\n"
      "\xb1\xa3=\xb4\xe6\r"
      "[step]\r\nLate=late\r\n";
  WriteAll(t / "a.ini", ini);
  struct {
    const char *section, *key, *def, *want;
  } cases[] = {
      {"step", "NAME", "d", "des , aes"},
      {"Other", "name", "d", "other"},
      {"Step", "Quoted", "d", "a b "},
      {"Step", "Single", "d", "x"},
      {"Step", "Half", "d", "\"x"},
      {"Step", "Mixed", "d", "\"x'"},
      {"Step", "Empty", "d", ""},
      {"Step", "Eq", "d", "a=b"},
      {"Step", "\xb1\xa3", "d", "\xb4\xe6"},
      {"Step", "Late", "d", "d"},  // only the first section of a name is read
      {"Step", "Missing", "dflt", "dflt"},
      {"Nowhere", "Name", "dflt", "dflt"},
      {"Step", "Missing", "dflt  ", "dflt"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ReadProfileString(t / "a.ini", c.section, c.key, c.def, 2048), c.want)
        << c.section << "/" << c.key;
  EXPECT_EQ(ReadProfileString(t / "missing.ini", "Step", "Name", "dflt", 2048), "dflt");
  EXPECT_EQ(ReadProfileString(t / "a.ini", "Step", "Name", "", 4), "des");
  EXPECT_EQ(ReadProfileString(t / "a.ini", "Step", "Missing", "abcdef", 4), "abc");
}

TEST(Files, AttributesAndRemoval) {
  TempFolder t;
  WriteAll(t / "f", "x");
  MakeDir(t / "d");
  WriteAll(t / "d/g", "y");
  EXPECT_FALSE(FileAttributes(t / "missing").has_value());
  ASSERT_TRUE(FileAttributes(t / "f").has_value());
  EXPECT_EQ(*FileAttributes(t / "f") & kAttrDirectory, 0u);
  EXPECT_NE(*FileAttributes(t / "d") & kAttrDirectory, 0u);
#if !defined(_WIN32)
  EXPECT_EQ(*FileAttributes(t / "d"), kAttrDirectory);
#endif
  EXPECT_TRUE(IsExistingFile(t / "f"));
  EXPECT_FALSE(IsExistingFile(t / "d"));
  EXPECT_TRUE(IsExistingFolder(t / "d"));
  EXPECT_FALSE(MakeDir(t / "d"));
  EXPECT_FALSE(RemoveDir(t / "d"));  // not empty
  EXPECT_FALSE(DeleteFileAt(t / "d"));
  EXPECT_TRUE(DeleteFileAt(t / "d/g"));
  EXPECT_TRUE(RemoveDir(t / "d"));
  EXPECT_FALSE(IsExistingFolder(t / "d"));
  EXPECT_FALSE(DeleteFileAt(t / "missing"));
}

TEST(Files, ReadWriteKeepEveryByte) {
  TempFolder t;
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  std::string err;
  EXPECT_EQ(WriteFileBytes(t / "b", all, err), WriteStatus::Ok);
  std::string back = "stale";
  EXPECT_TRUE(ReadFileBytes(t / "b", back));
  EXPECT_EQ(back, all);
  EXPECT_FALSE(ReadFileBytes(t / "missing", back));
  EXPECT_EQ(back, "");
  EXPECT_FALSE(ReadFileBytes(t.path(), back));
  back = "stale";
  EXPECT_TRUE(ReadFileBytes(t / "b", back, 256));
  EXPECT_FALSE(ReadFileBytes(t / "b", back, 255));  // larger than allowed
  EXPECT_EQ(back, "");
  EXPECT_EQ(WriteFileBytes(t / "no/such/folder/f", "x", err), WriteStatus::CreateFailed);
  EXPECT_FALSE(err.empty());

  // A view holds the same bytes and a readable zero after them, also where
  // the size ends a page, and also while the library that wrote the file
  // still holds it open for writing; once released (and the writer gone),
  // the file can be deleted.
  const struct {
    std::size_t size;
    bool heldByWriter;
  } views[] = {{0, false},     {256, false},   {4095, false}, {4096, false},
               {65536, false}, {65537, false}, {256, true},   {4096, true}};
  for (const auto& v : views) {
    const std::size_t size = v.size;
    std::string bytes;
    for (std::size_t i = 0; i < size; ++i) bytes += all[i % all.size()];
    ASSERT_EQ(WriteFileBytes(t / "v", bytes, err), WriteStatus::Ok);
    std::optional<std::fstream> writer;
    if (v.heldByWriter) {
      writer.emplace(t / "v", std::ios::in | std::ios::out | std::ios::binary);
      ASSERT_TRUE(writer->is_open());
    }
    const std::string label = std::to_string(size) + (v.heldByWriter ? " held by a writer" : "");
    FileView view;
    ASSERT_TRUE(view.Open(t / "v", size)) << label;
    EXPECT_EQ(std::string(view.Data(), view.Size()), bytes) << label;
    EXPECT_EQ(view.Data()[view.Size()], '\0') << label;
    if (size > 0) {
      EXPECT_FALSE(view.Open(t / "v", size - 1)) << label;  // larger than allowed
    }
    EXPECT_EQ(view.Size(), 0u);
    view.Release();
    writer.reset();
    EXPECT_TRUE(DeleteFileAt(t / "v")) << label;
  }
  FileView view;
  EXPECT_FALSE(view.Open(t / "missing"));
  EXPECT_FALSE(view.Open(t.path()));
  EXPECT_EQ(std::string(view.Data(), view.Size()), "");
#if !defined(_WIN32)
  // A file its file system will not map is read instead: still its bytes,
  // and a readable zero after them. Only files that refuse a mapping here
  // count.
  int unmappable = 0;
  for (const char* path : {"/sys/kernel/notes", "/proc/config.gz"}) {
    const std::string bytes = ReadAll(path);
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (bytes.empty() || fd < 0) continue;
    void* map = mmap(nullptr, bytes.size(), PROT_READ, MAP_PRIVATE, fd, 0);
    close(fd);
    if (map != MAP_FAILED) {
      munmap(map, bytes.size());
      continue;
    }
    ++unmappable;
    ASSERT_TRUE(view.Open(path)) << path;
    EXPECT_EQ(std::string(view.Data(), view.Size()), bytes) << path;
    EXPECT_EQ(view.Data()[view.Size()], '\0') << path;
    view.Release();
    EXPECT_EQ(view.Size(), 0u);
  }
  if (unmappable == 0) GTEST_SKIP() << "no file here that its file system will not map";
#endif
}

TEST(Files, CopyReplacesTheTarget) {
  TempFolder t;
  std::mt19937 rng(5);
  std::string big(3 * 1024 * 1024 + 17, '\0');
  for (char& c : big) c = static_cast<char>(rng());
  WriteAll(t / "big", big);
  WriteAll(t / "target", std::string(4 * 1024 * 1024, 'z'));
  EXPECT_TRUE(CopyFileReplace(t / "big", t / "target"));
  EXPECT_EQ(ReadAll(t / "target"), big);
  EXPECT_TRUE(CopyFileReplace(t / "big", t / "new"));
  EXPECT_EQ(ReadAll(t / "new"), big);
  WriteAll(t / "empty", "");
  EXPECT_TRUE(CopyFileReplace(t / "empty", t / "new"));
  EXPECT_EQ(ReadAll(t / "new"), "");
  EXPECT_FALSE(CopyFileReplace(t / "missing", t / "x"));
  EXPECT_FALSE(IsExistingFile(t / "x"));
  CopyFileReplace(t / "big", t / "big");  // onto itself: the file must survive
  EXPECT_EQ(ReadAll(t / "big"), big);
#if !defined(_WIN32)
  // A link at the destination is replaced by the copy; what it led to stays.
  const std::string linked = "what the link leads to";
  WriteAll(t / "linked", linked);
  std::filesystem::create_symlink(t / "linked", t / "link");
  EXPECT_TRUE(CopyFileReplace(t / "empty", t / "link"));
  EXPECT_EQ(*FileAttributes(t / "link"), kAttrArchive);
  EXPECT_EQ(ReadAll(t / "link"), "");
  EXPECT_EQ(ReadAll(t / "linked"), linked);
  // A replaced file keeps its mode, a new one has the source's under the
  // umask (as a file written anew has 0666 under it); a folder, or a link to
  // one, is no file.
  std::filesystem::permissions(t / "new", std::filesystem::perms(0640));
  EXPECT_TRUE(CopyFileReplace(t / "big", t / "new"));
  EXPECT_EQ(std::filesystem::status(t / "new").permissions(), std::filesystem::perms(0640));
  std::filesystem::permissions(t / "big", std::filesystem::perms(0666));
  WriteAll(t / "written", "");
  EXPECT_TRUE(CopyFileReplace(t / "big", t / "fresh"));
  EXPECT_EQ(std::filesystem::status(t / "fresh").permissions(),
            std::filesystem::status(t / "written").permissions());
  MakeDir(t / "dir");
  std::filesystem::create_directory_symlink(t / "dir", t / "dirlink");
  EXPECT_FALSE(CopyFileReplace(t / "big", t / "dir"));
  EXPECT_FALSE(CopyFileReplace(t / "big", t / "dirlink"));
  EXPECT_TRUE(IsExistingFolder(t / "dir"));
  EXPECT_EQ(*FileAttributes(t / "dirlink"), kAttrReparsePoint | kAttrDirectory);

  // A copy cut short (here by a file size limit) leaves no part of a file,
  // and whatever stood at the destination as it was. Until cut, its file was
  // open to no one else.
  std::filesystem::remove(t / "link");
  std::filesystem::create_symlink(t / "linked", t / "link");
  WriteAll(t / "old", "the file that stood there");
  const struct {
    const char* to;
    const char* left;  // nullptr: nothing there
  } cuts[] = {
      {"cut", nullptr},
      {"old", "the file that stood there"},
      {"link", linked.c_str()},
  };
  g_watched = t.path();
  for (const auto& c : cuts) {
    g_tempModes.clear();
    std::signal(SIGXFSZ, NoteTempModes);
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit small = saved;
    small.rlim_cur = 1024 * 1024;
    setrlimit(RLIMIT_FSIZE, &small);
    const bool copied = CopyFileReplace(t / "big", t / c.to);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, SIG_DFL);
    EXPECT_FALSE(copied) << c.to;
    ASSERT_EQ(g_tempModes.size(), 1u) << c.to;
    EXPECT_EQ(g_tempModes[0] & ~0600u, 0u) << c.to << " " << std::oct << g_tempModes[0];
    if (c.left == nullptr) EXPECT_FALSE(FileAttributes(t / c.to).has_value()) << c.to;
    else EXPECT_TRUE(ReadAll(t / c.to) == c.left) << c.to;  // not the cut copy's megabyte
  }
  EXPECT_EQ(*FileAttributes(t / "link"), kAttrReparsePoint | kAttrArchive);
  EXPECT_EQ(ReadAll(t / "linked"), linked);
  // No temporary file is left behind, after a copy that failed or one that did not.
  std::vector<DirEntry> left;
  ASSERT_TRUE(ListDir(t.path(), left));
  std::set<std::string> names;
  for (const auto& e : left) names.insert(e.name);
  EXPECT_EQ(names, (std::set<std::string>{"big", "dir", "dirlink", "empty", "fresh", "link",
                                          "linked", "new", "old", "target", "written"}));
  std::filesystem::remove(t / "dirlink");

  // A file its folder lets be written but not replaced is written in place;
  // a replaced file keeps its owner and group where the copier may give
  // them. Either way the file keeps its mode, and nothing is left beside it.
  const auto user = Unprivileged();
  if (!user) GTEST_SKIP() << "no unprivileged user to be refused";
  const bool root = geteuid() == 0;
  const struct {
    const char* folder;
    unsigned folderMode;
    bool usersFile;  // the file is the unprivileged user's, else root's and writable by all
    bool userCopies;  // else root copies
    bool inPlace;
  } places[] = {
      {"readonly", 0555, true, true, true},
      {"sticky", 01777, false, true, true},
      {"others", 0755, true, false, false},
  };
  for (const auto& p : places) {
    if (!root && (!p.usersFile || !p.userCopies)) continue;  // another user's file takes root
    const std::string file = t / p.folder + S + "f";
    MakeDir(t / p.folder);
    WriteAll(file, "the file that stood there");
    chmod(file.c_str(), p.usersFile ? 0640 : 0666);
    if (root && p.usersFile) {
      ASSERT_EQ(chown(file.c_str(), user->uid, user->gid), 0);
    }
    chmod((t / p.folder).c_str(), p.folderMode);
    struct stat before {};
    ASSERT_EQ(stat(file.c_str(), &before), 0);
    const int copied = p.userCopies ? CopyAs(*user, t / "big", file)
                                    : CopyFileReplace(t / "big", file) ? 1 : 0;
    ASSERT_NE(copied, -1) << "could not become the unprivileged user";
    EXPECT_EQ(copied, 1) << p.folder;
    chmod((t / p.folder).c_str(), 0755);
    EXPECT_TRUE(ReadAll(file) == big) << p.folder;
    struct stat after {};
    ASSERT_EQ(stat(file.c_str(), &after), 0);
    EXPECT_EQ(after.st_mode, before.st_mode) << p.folder;
    EXPECT_EQ(after.st_uid, before.st_uid) << p.folder;
    EXPECT_EQ(after.st_gid, before.st_gid) << p.folder;
    if (p.inPlace) {
      EXPECT_EQ(after.st_ino, before.st_ino) << p.folder;
    }
    ASSERT_TRUE(ListDir(t / p.folder, left));
    names.clear();
    for (const auto& e : left) names.insert(e.name);
    EXPECT_EQ(names, std::set<std::string>{"f"}) << p.folder;
  }
  if (!root) GTEST_SKIP() << "another user's file takes root to make";
#endif
}

TEST(Paths, FullPathName) {
  const std::string cwd = CurrentDir();
  struct {
    std::string in, want;
  } cases[] = {
#if defined(_WIN32)
      {"C:\\a\\.\\b\\..\\c", "C:\\a\\c"},
      {"C:\\a\\b\\", "C:\\a\\b\\"},
      {"C:\\..\\a", "C:\\a"},
      {"C:/a/b", "C:\\a\\b"},
      {"x\\y", cwd + "\\x\\y"},
      {"C:\\" + std::string(300, 'l') + "\\f", "C:\\" + std::string(300, 'l') + "\\f"},
#else
      {"/a/./b/../c", "/a/c"},
      {"/a//b/", "/a/b/"},
      {"/../a", "/a"},
      {"/", "/"},
      {"x/y", cwd + "/x/y"},
      {"./x/..", cwd},
      {"/" + std::string(5000, 'l') + "/f", "/" + std::string(5000, 'l') + "/f"},
#endif
  };
  for (const auto& c : cases) EXPECT_EQ(FullPathName(c.in), c.want) << c.in;
}

TEST(Paths, CurrentDirectory) {
  TempFolder t;
  const std::string saved = CurrentDir();
  EXPECT_FALSE(dv::EndsWithDirSep(saved));
  ASSERT_TRUE(SetCurrentDir(t.path()));
  EXPECT_EQ(CurrentDir(), t.path());
  EXPECT_FALSE(SetCurrentDir(t / "missing"));
  EXPECT_EQ(CurrentDir(), t.path());
  EXPECT_TRUE(SetCurrentDir(saved));
  EXPECT_EQ(CurrentDir(), saved);
}

TEST(Paths, ListDir) {
  TempFolder t;
  WriteAll(t / "a.txt", "1");
  WriteAll(t / "noext", "2");
  MakeDir(t / "sub");
  for (const std::string& dir : {t.path(), t.path() + S}) {
    std::vector<DirEntry> entries;
    ASSERT_TRUE(ListDir(dir, entries));
    std::set<std::string> names;
    for (const auto& e : entries) {
      names.insert(e.name);
      EXPECT_EQ((e.attributes & kAttrDirectory) != 0, e.name == "sub") << e.name;
    }
    EXPECT_EQ(names, (std::set<std::string>{"a.txt", "noext", "sub"}));
  }
#if !defined(_WIN32)
  // Links are told as links, never as what they lead to.
  std::filesystem::create_directory_symlink(t / "sub", t / "dirlink");
  std::filesystem::create_symlink(t / "a.txt", t / "filelink");
  std::filesystem::create_symlink(t / "gone", t / "dangling");
  std::vector<DirEntry> all;
  ASSERT_TRUE(ListDir(t.path(), all));
  std::set<std::string> links;
  for (const auto& e : all) {
    if (e.attributes & kAttrReparsePoint) links.insert(e.name);
    EXPECT_EQ(e.attributes, *FileAttributes(t / e.name)) << e.name;
  }
  EXPECT_EQ(links, (std::set<std::string>{"dangling", "dirlink", "filelink"}));
  EXPECT_EQ(*FileAttributes(t / "dirlink"), kAttrReparsePoint | kAttrDirectory);
  EXPECT_EQ(*FileAttributes(t / "filelink"), kAttrReparsePoint | kAttrArchive);
  for (const char* link : {"dirlink", "filelink", "dangling"}) EXPECT_TRUE(DeleteFileAt(t / link));
  EXPECT_TRUE(IsExistingFolder(t / "sub"));
#endif
  std::vector<DirEntry> entries{{"stale", 0}};
  EXPECT_FALSE(ListDir(t / "missing", entries));
  EXPECT_TRUE(entries.empty());
}

TEST(Guid, StandardTextForm) {
  const std::string g = NewGuidText();
  ASSERT_EQ(g.size(), 38u) << g;
  for (std::size_t i = 0; i < g.size(); ++i) {
    if (i == 0) EXPECT_EQ(g[i], '{');
    else if (i == 37) EXPECT_EQ(g[i], '}');
    else if (i == 9 || i == 14 || i == 19 || i == 24) EXPECT_EQ(g[i], '-') << g;
    else EXPECT_NE(std::string("0123456789ABCDEF").find(g[i]), std::string::npos) << g;
  }
  EXPECT_NE(NewGuidText(), g);
}

TEST(Clock, LocalTimeAndTestClock) {
  const LocalTime now = LocalNow();
  EXPECT_GE(now.year, 2020);
  EXPECT_TRUE(now.month >= 1 && now.month <= 12 && now.day >= 1 && now.day <= 31);
  EXPECT_TRUE(now.hour >= 0 && now.hour <= 23 && now.minute >= 0 && now.minute <= 59);
  SetClockForTesting([] { return LocalTime{2001, 2, 3, 4, 5, 6}; });
  const LocalTime fixed = LocalNow();
  SetClockForTesting(nullptr);
  EXPECT_EQ(fixed.year, 2001);
  EXPECT_EQ(fixed.second, 6);
  EXPECT_GE(LocalNow().year, 2020);
}

}  // namespace
}  // namespace dv::plat
