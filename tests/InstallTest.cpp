// The program as it is installed: `cmake --install` into a scratch prefix, the
// Debian package unpacked into a scratch root, and the manual page. Each installed
// program runs the three jobs through its bin/ symlink, since -s finds the template
// beside the executable the symlink leads to.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "builders/ImageFiles.h"
#include "builders/ProgramRunner.h"
#include "builders/TestFiles.h"
#include "platform/CodePages.h"
#include "unitResFile.h"

namespace tolvane::test {
namespace {

namespace fs = std::filesystem;

const std::string kSourceDir = TOLVANE_SOURCE_DIR;

std::string BuildDir() {
  std::string exe = TOLVANE_EXE;
  return exe.substr(0, exe.rfind('/'));
}

// A value from the build directory's CMakeCache.txt ("NAME:TYPE=value"), or "".
std::string CacheValue(const std::string& name) {
  std::ifstream cache(BuildDir() + "/CMakeCache.txt");
  std::string line;
  while (std::getline(cache, line)) {
    if (line.compare(0, name.size() + 1, name + ":") != 0) continue;
    size_t eq = line.find('=');
    if (eq != std::string::npos) return line.substr(eq + 1);
  }
  return "";
}

// The CMake program the build directory was made with, else the one on PATH.
std::string CMakeTool(const std::string& cacheName, const std::string& program) {
  std::string fromCache = CacheValue(cacheName);
  if (!fromCache.empty() && PathExists(fromCache)) return fromCache;
  return FindOnPath(program);
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::vector<std::string> LinesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string Readlink(const std::string& path) {
  std::error_code error;
  fs::path target = fs::read_symlink(path, error);
  return error ? std::string() : target.string();
}

bool IsExecutableFile(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & S_IXUSR) != 0;
}

// Tests run in parallel processes; installing and packaging write into the build
// directory (install_manifest.txt, CPack's preinstall step), one process at a time.
class BuildDirLock {
public:
  BuildDirLock() : fd(::open((BuildDir() + "/install-test.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)) {
    if (fd >= 0) ::flock(fd, LOCK_EX);
  }
  ~BuildDirLock() {
    if (fd >= 0) ::close(fd);
  }
  BuildDirLock(const BuildDirLock&) = delete;
  BuildDirLock& operator=(const BuildDirLock&) = delete;

private:
  int fd;
};

// Installs the build directory into prefix; empty when it worked, else why not.
std::string InstallInto(const std::string& prefix) {
  std::string cmake = CMakeTool("CMAKE_COMMAND", "cmake");
  if (cmake.empty()) return "cmake is not installed";
  BuildDirLock lock;
  RunResult r = RunCommand(cmake, {"--install", BuildDir(), "--prefix", prefix}, RunOptions().Timeout(120));
  if (r.status != 0) return "cmake --install failed:\n" + r.out + r.err;
  return "";
}

bool HoldsUtf16(const std::vector<uint8_t>& bytes, const std::u16string& text) {
  std::vector<uint8_t> wanted = Utf16Bytes(text);
  return std::search(bytes.begin(), bytes.end(), wanted.begin(), wanted.end()) != bytes.end();
}

// The three jobs run by `tolvane` (a path to an installed program or a link to one),
// in a fresh working directory; each output is checked against what the built program
// writes for the same job.
void ExpectAllThreeJobsWork(const std::string& tolvane) {
  ScratchDir work;
  RunOptions here = RunOptions().In(work.path());

  RunResult extracted = RunCommand(tolvane, {FixturePath("app.exe"), "-r", "app.res"}, here);
  EXPECT_EQ(extracted.status, 0) << extracted.out << extracted.err;
  EXPECT_EQ(extracted.out, "Resources extracted from app.exe to app.res\r\n");
  ASSERT_TRUE(PathExists(work.file("app.res")));
  EXPECT_EQ(ReadFileBytes(work.file("app.res")), ReadFileBytes(FixturePath("app.exe.extracted.res")));

  RunResult merged = RunCommand(tolvane, {"-o", "stamped.exe", FixturePath("app.exe"), FixturePath("merge.res")}, here);
  EXPECT_EQ(merged.status, 0) << merged.out << merged.err;
  EXPECT_EQ(merged.out, "Resources combined from merge.res to stamped.exe\r\n");
  ASSERT_TRUE(PathExists(work.file("stamped.exe")));
  RunResult reference = RunTolvane({"-o", "reference.exe", FixturePath("app.exe"), FixturePath("merge.res")},
                                   RunOptions().In(work.path()));
  ASSERT_EQ(reference.status, 0) << reference.err;
  EXPECT_EQ(ReadFileBytes(work.file("stamped.exe")), ReadFileBytes(work.file("reference.exe")));
  auto stamped = LoadImageFile(work.file("stamped.exe"));
  EXPECT_NE(stamped->FindResource(u"STAMPTYPE", u"STAMP", 1033), nullptr);

  RunResult dll = RunCommand(tolvane, {"-s", "strings.dll", "unused.exe", FixturePath("dllstrings.res")}, here);
  EXPECT_EQ(dll.status, 0) << dll.out << dll.err;
  EXPECT_EQ(dll.out, "Resources combined from dllstrings.res to strings.dll\r\n");
  ASSERT_TRUE(PathExists(work.file("strings.dll")));
  auto strings = LoadImageFile(work.file("strings.dll"));
  std::vector<ResourceKey> held = ResourcesOf(*strings);
  EXPECT_EQ(held, ResourcesOf(*LoadResFile(FixturePath("dllstrings.res"))));
  ASSERT_EQ(held.size(), 1u);
  EXPECT_EQ(held[0].type, u"6");
  EXPECT_TRUE(HoldsUtf16(held[0].bytes, u"Hello from a resource DLL"));
}

// ---- cmake --install ----

TEST(InstallTree, PutsTheProgramAndTemplateSideBySideWithARelativeSymlinkInBin) {
  ScratchDir dir;
  std::string prefix = dir.file("prefix");
  if (std::string why = InstallInto(prefix); !why.empty()) {
    if (why == "cmake is not installed") GTEST_SKIP() << why;
    FAIL() << why;
  }
  EXPECT_EQ(Readlink(prefix + "/bin/tolvane"), "../lib/tolvane/tolvane");
  EXPECT_TRUE(IsExecutableFile(prefix + "/lib/tolvane/tolvane"));
  ASSERT_TRUE(PathExists(prefix + "/lib/tolvane/Empty.dll"));
  EXPECT_EQ(ReadFileBytes(prefix + "/lib/tolvane/Empty.dll"), ReadFileBytes(BuildDir() + "/Empty.dll"));
  EXPECT_TRUE(PathExists(prefix + "/share/man/man1/tolvane.1.gz") || PathExists(prefix + "/share/man/man1/tolvane.1"));
  ASSERT_TRUE(PathExists(prefix + "/share/doc/tolvane/copyright"));
  EXPECT_EQ(ReadFileBytes(prefix + "/share/doc/tolvane/copyright"), ReadFileBytes(kSourceDir + "/LICENSE"));
  // Nothing else goes into bin/ or lib/.
  EXPECT_EQ(ListDirectory(prefix + "/bin"), std::vector<std::string>{"tolvane"});
  EXPECT_EQ(ListDirectory(prefix + "/lib/tolvane"), (std::vector<std::string>{"Empty.dll", "tolvane"}));
}

TEST(InstallTree, InstalledProgramRunsAllThreeJobsThroughTheBinSymlink) {
  ScratchDir dir;
  std::string prefix = dir.file("prefix");
  if (std::string why = InstallInto(prefix); !why.empty()) {
    if (why == "cmake is not installed") GTEST_SKIP() << why;
    FAIL() << why;
  }
  ExpectAllThreeJobsWork(prefix + "/bin/tolvane");
}

TEST(InstallTree, ASymlinkOnPathToTheInstalledProgramFindsTheTemplate) {
  ScratchDir dir;
  std::string prefix = dir.file("prefix");
  if (std::string why = InstallInto(prefix); !why.empty()) {
    if (why == "cmake is not installed") GTEST_SKIP() << why;
    FAIL() << why;
  }
  // A user's own bin directory with an absolute link to the installed link: two hops.
  fs::create_directory(dir.file("mybin"));
  fs::create_symlink(prefix + "/bin/tolvane", dir.file("mybin/tolvane"));
  ScratchDir work;
  RunResult r = RunCommand(
      "/usr/bin/env",
      {"PATH=" + dir.file("mybin"), "tolvane", "-s", "strings.dll", "unused.exe", FixturePath("dllstrings.res")},
      RunOptions().In(work.path()));
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out, "Resources combined from dllstrings.res to strings.dll\r\n");
  ASSERT_TRUE(PathExists(work.file("strings.dll")));
  EXPECT_EQ(ResourcesOf(*LoadImageFile(work.file("strings.dll"))),
            ResourcesOf(*LoadResFile(FixturePath("dllstrings.res"))));
}

TEST(InstallTree, AMovedInstallTreeStillFindsItsTemplate) {
  ScratchDir dir;
  if (std::string why = InstallInto(dir.file("prefix")); !why.empty()) {
    if (why == "cmake is not installed") GTEST_SKIP() << why;
    FAIL() << why;
  }
  fs::rename(dir.file("prefix"), dir.file("moved"));
  ExpectAllThreeJobsWork(dir.file("moved/bin/tolvane"));
}

// ---- the Debian package ----

struct Package {
  std::string path;  // the .deb, or "" when it could not be built
  std::string skip;  // why not, when a tool is missing
};

// Builds the .deb of the build directory into dir with the build's own CPack
// configuration, exactly as `make package` does after its build step.
Package BuildPackage(const ScratchDir& dir) {
  std::string cpack = CMakeTool("CMAKE_CPACK_COMMAND", "cpack");
  if (cpack.empty()) return {"", "cpack is not installed (Debian cmake)"};
  if (FindOnPath("dpkg-deb").empty()) return {"", "dpkg-deb is not installed (Debian dpkg)"};
  std::string config = BuildDir() + "/CPackConfig.cmake";
  if (!PathExists(config)) return {"", "the build directory has no CPackConfig.cmake"};
  BuildDirLock lock;
  RunResult r = RunCommand(cpack, {"-G", "DEB", "--config", config, "-B", dir.path()}, RunOptions().Timeout(600));
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  for (const std::string& name : ListDirectory(dir.path()))
    if (name.size() > 4 && name.substr(name.size() - 4) == ".deb") return {dir.file(name), ""};
  ADD_FAILURE() << "cpack wrote no .deb:\n" << r.out << r.err;
  return {};
}

std::string ControlField(const std::string& deb, const std::string& field) {
  RunResult r = RunCommand("/usr/bin/env", {"dpkg-deb", "-f", deb, field});
  EXPECT_EQ(r.status, 0) << r.err;
  std::string value = r.out;
  while (!value.empty() && (value.back() == '\n' || value.back() == '\r')) value.pop_back();
  return value;
}

TEST(DebianPackage, NamesTheProgramItsVersionMaintainerAndRuntimeLibraries) {
  ScratchDir dir;
  Package deb = BuildPackage(dir);
  if (!deb.skip.empty()) GTEST_SKIP() << deb.skip;
  ASSERT_FALSE(deb.path.empty());
  EXPECT_EQ(ControlField(deb.path, "Package"), "tolvane");
  EXPECT_EQ(ControlField(deb.path, "Version"), "0.1");
  EXPECT_EQ(ControlField(deb.path, "Maintainer"), "The Tolvane developers <developers@tolvane.example>");
  std::string depends = ControlField(deb.path, "Depends");
  EXPECT_TRUE(Contains(depends, "libc6")) << depends;
  EXPECT_TRUE(Contains(depends, "libstdc++6")) << depends;
  EXPECT_FALSE(ControlField(deb.path, "Description").empty());
}

TEST(DebianPackage, UnpackedPackageRunsAllThreeJobsFromUsrBin) {
  ScratchDir dir;
  Package deb = BuildPackage(dir);
  if (!deb.skip.empty()) GTEST_SKIP() << deb.skip;
  ASSERT_FALSE(deb.path.empty());

  // What the package holds, as `dpkg -c` lists it: files and the one symlink.
  RunResult listing = RunCommand("/usr/bin/env", {"dpkg-deb", "-c", deb.path});
  ASSERT_EQ(listing.status, 0) << listing.err;
  std::vector<std::string> files;
  for (const std::string& line : LinesOf(listing.out)) {
    if (line.empty() || line[0] == 'd') continue;
    size_t path = line.find(" ./");
    if (path != std::string::npos) files.push_back(line.substr(path + 1));
  }
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files, (std::vector<std::string>{
                       "./usr/bin/tolvane -> ../lib/tolvane/tolvane",
                       "./usr/lib/tolvane/Empty.dll",
                       "./usr/lib/tolvane/tolvane",
                       "./usr/share/doc/tolvane/README.md",
                       "./usr/share/doc/tolvane/changelog.gz",
                       "./usr/share/doc/tolvane/copyright",
                       "./usr/share/man/man1/tolvane.1.gz",
                   }))
      << listing.out;

  std::string root = dir.file("root");
  RunResult unpacked = RunCommand("/usr/bin/env", {"dpkg-deb", "-x", deb.path, root});
  ASSERT_EQ(unpacked.status, 0) << unpacked.err;
  EXPECT_EQ(Readlink(root + "/usr/bin/tolvane"), "../lib/tolvane/tolvane");
  EXPECT_EQ(ReadFileBytes(root + "/usr/lib/tolvane/Empty.dll"), ReadFileBytes(BuildDir() + "/Empty.dll"));
  ExpectAllThreeJobsWork(root + "/usr/bin/tolvane");
}

// lintian holds the package to Debian's policy; its informational tags (hardening
// flags, the .comment section) are left to the build.
TEST(DebianPackage, LintianFindsNoErrorsOrWarnings) {
  if (FindOnPath("lintian").empty()) GTEST_SKIP() << "lintian is not installed (Debian lintian)";
  ScratchDir dir;
  Package deb = BuildPackage(dir);
  if (!deb.skip.empty()) GTEST_SKIP() << deb.skip;
  ASSERT_FALSE(deb.path.empty());
  RunResult r =
      RunCommand("/usr/bin/env", {"lintian", "--fail-on", "error,warning", deb.path}, RunOptions().Timeout(300));
  EXPECT_EQ(r.status, 0) << r.out << r.err;
}

// ---- the manual page ----

const std::string kManPage = kSourceDir + "/docs/tolvane.1";

// man runs in a locale every Debian system has, so that a missing one adds no complaint.
TEST(ManPage, RendersWithoutWarningsFromManOrGroff) {
  bool checked = false;
  if (!FindOnPath("man").empty()) {
    RunResult r = RunCommand("/usr/bin/env", {"LC_ALL=C.UTF-8", "MANWIDTH=80", "man", "-l", "--warnings", kManPage});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(Contains(r.out, "tolvane")) << r.out;
    checked = true;
  }
  if (!FindOnPath("groff").empty()) {
    RunResult r = RunCommand("/usr/bin/env", {"LC_ALL=C.UTF-8", "groff", "-man", "-ww", "-z", kManPage});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    checked = true;
  }
  if (!checked) GTEST_SKIP() << "neither man nor groff is installed (Debian man-db, groff-base)";
}

TEST(ManPage, InstalledPageHasEverySectionAndEveryForm) {
  if (FindOnPath("man").empty()) GTEST_SKIP() << "man is not installed (Debian man-db)";
  ScratchDir dir;
  std::string prefix = dir.file("prefix");
  if (std::string why = InstallInto(prefix); !why.empty()) {
    if (why == "cmake is not installed") GTEST_SKIP() << why;
    FAIL() << why;
  }
  std::string page = prefix + "/share/man/man1/tolvane.1.gz";
  if (!PathExists(page)) page = prefix + "/share/man/man1/tolvane.1";
  // No hyphenation and no justification, so every phrase reads as it is written.
  RunResult r = RunCommand("/usr/bin/env", {"LC_ALL=C.UTF-8", "MANWIDTH=80", "man", "--nh", "--nj", "-l", page});
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<std::string> lines = LinesOf(r.out);
  for (const char* section :
       {"NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "EXIT STATUS", "FILES", "EXAMPLES", "NOTES", "SEE ALSO"})
    EXPECT_NE(std::find(lines.begin(), lines.end(), section), lines.end()) << "no section " << section;
  // The text with each run of white space made one space.
  std::string flat;
  for (char c : r.out) {
    bool space = c == ' ' || c == '\n' || c == '\t';
    if (!space)
      flat += c;
    else if (!flat.empty() && flat.back() != ' ')
      flat += ' ';
  }
  for (const char* phrase : {"tolvane SRC -r DEST", "tolvane -o DEST SRC RES", "tolvane -s DEST SRC RES", "tolvane -h",
                             "tolvane -V", "-64", "Empty.dll", "windres(1)", "Invalid Windows Image"})
    EXPECT_TRUE(Contains(flat, phrase)) << "the page does not mention " << phrase;
}

}  // namespace
}  // namespace tolvane::test
