// Every path call the libraries may make reaches the mounted directory,
// and no path leads out of a mount.

#include <dirent.h>
#include <fcntl.h>
#include <glob.h>
#include <link.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/time.h>
#include <unistd.h>
#include <utime.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <Magick++.h>
#include <gtest/gtest.h>

#include "nacl_io/nacl_io.h"
#include "ppplatform/file_systems.h"
#include "support/child_session.h"
#include "support/run_program.h"
#include "utils.h"

extern "C" {
int __open_2(const char* path, int flags);
int __open64_2(const char* path, int flags);
int __openat_2(int dirfd, const char* path, int flags);
int __openat64_2(int dirfd, const char* path, int flags);
char* __realpath_chk(const char* path, char* resolved, size_t resolved_size);
ssize_t __readlink_chk(const char* path, char* out, size_t size, size_t out_size);
ssize_t __readlinkat_chk(int dirfd, const char* path, char* out, size_t size, size_t out_size);
char* __getcwd_chk(char* out, size_t size, size_t out_size);
}

namespace {

using pp::platform::Html5FileSystemType;

class PathCallsTest : public testing::Test {
 protected:
  void SetUp() override {
    host_ = kelmora_test::MakeTempDir();
    outside_ = kelmora_test::MakeTempDir();
    pp::platform::UnmountAll();
    pp::platform::SetHtml5FileSystem(Html5FileSystemType::kPersistent, host_);
    ASSERT_EQ(0, nacl_io_init_ppapi(1, nullptr));
    ASSERT_EQ(0, mount("", "/html5_persistent", "html5fs", 0, "type=PERSISTENT"));
    char cwd[PATH_MAX];
    ASSERT_NE(nullptr, getcwd(cwd, sizeof(cwd)));
    cwd_ = cwd;
  }
  void TearDown() override {
    EXPECT_EQ(0, chdir(cwd_.c_str()));
    pp::platform::UnmountAll();
  }

  // A file of the mounted directory, made directly.
  void Put(const std::string& name, const std::string& text) {
    FILE* file = fopen((host_ + "/" + name).c_str(), "w");
    ASSERT_NE(nullptr, file);
    fputs(text.c_str(), file);
    fclose(file);
  }
  bool HostHas(const std::string& name) { return access((host_ + "/" + name).c_str(), F_OK) == 0; }
  std::string Host(const std::string& name) { return kelmora_test::ReadFile(host_ + "/" + name); }
  mode_t HostMode(const std::string& name) {
    struct stat info;
    return lstat((host_ + "/" + name).c_str(), &info) == 0 ? info.st_mode : 0;
  }

  std::string host_;
  std::string outside_;
  std::string cwd_;
};

// Reads a descriptor's few bytes.
std::string ReadFd(int fd) {
  char buffer[64] = {};
  ssize_t count = fd >= 0 ? read(fd, buffer, sizeof(buffer) - 1) : -1;
  if (fd >= 0) close(fd);
  return count >= 0 ? std::string(buffer, count) : "<failed>";
}

const char kP[] = "/html5_persistent";

// Whether a scandir-style call lists "f" in the mount.
template <typename Entry, typename Scan, typename Compare>
bool ScanFindsF(Scan scan, Compare compare) {
  Entry** list = nullptr;
  int count = scan(kP, &list, nullptr, compare);
  bool found = false;
  for (int i = 0; i < count; ++i) {
    found |= std::string(list[i]->d_name) == "f";
    free(list[i]);
  }
  free(list);
  return found;
}

// What the file layer maps.
const std::set<std::string>& CoveredCalls() {
  static const std::set<std::string> calls = {
      "open", "open64", "openat", "openat64", "__open_2", "__open64_2", "__openat_2",
      "__openat64_2", "creat", "creat64", "fopen", "fopen64", "freopen", "freopen64", "fdopen",
      "fileno", "stat", "stat64", "lstat", "lstat64", "fstatat", "fstatat64", "statx", "access",
      "euidaccess", "eaccess", "faccessat", "unlink", "unlinkat", "remove", "mkdir", "mkdirat",
      "rmdir", "mknod", "mknodat", "mkfifo", "mkfifoat", "chmod", "fchmodat", "chown", "lchown",
      "fchownat", "utime", "utimes", "lutimes", "futimesat", "utimensat", "statvfs",
      "statvfs64", "statfs", "statfs64", "pathconf", "scandir", "scandir64", "truncate",
      "truncate64", "opendir", "rename", "renameat", "renameat2", "link", "linkat", "symlink",
      "symlinkat", "readlink", "readlinkat", "realpath", "canonicalize_file_name", "chdir",
      "fchdir", "getcwd", "mkstemp", "mkstemp64", "mkostemp", "mkostemp64", "mkstemps",
      "mkstemps64", "mkdtemp", "glob", "glob64", "__realpath_chk", "__readlink_chk",
      "__readlinkat_chk", "__getcwd_chk"};
  return calls;
}

// The C library's calls that take a path (or hand one back), covered or not.
const std::set<std::string>& PathCallsOfTheCLibrary() {
  static const std::set<std::string> calls = [] {
    std::set<std::string> all = CoveredCalls();
    for (const char* name :
         {"__xstat", "__xstat64", "__lxstat", "__lxstat64", "__fxstatat", "__fxstatat64",
          "__realpath_chk", "__readlink_chk", "__readlinkat_chk", "__getcwd_chk",
          "get_current_dir_name", "tempnam", "tmpnam", "mktemp", "nftw", "nftw64", "ftw",
          "ftw64", "fts_open", "name_to_handle_at", "inotify_add_watch", "setxattr",
          "getxattr", "lsetxattr", "lgetxattr", "listxattr", "removexattr", "chroot",
          "execvp", "execv", "execve", "execl", "execlp", "dlopen", "popen", "system",
          "posix_spawn", "posix_spawnp", "statvfs", "acct", "swapon", "umount", "umount2",
          "__mkstemp_chk"}) {
      all.insert(name);
    }
    return all;
  }();
  return calls;
}

TEST_F(PathCallsTest, EveryCoveredCallReachesTheMountedDirectory) {
  Put("f", "data");
  ASSERT_EQ(0, ::mkdir((host_ + "/d").c_str(), 0755));
  std::string f = std::string(kP) + "/f";
  std::map<std::string, std::function<bool()>> calls = {
      {"open", [&] { return ReadFd(open(f.c_str(), O_RDONLY)) == "data"; }},
      {"open64", [&] { return ReadFd(open64(f.c_str(), O_RDONLY)) == "data"; }},
      {"openat", [&] { return ReadFd(openat(AT_FDCWD, f.c_str(), O_RDONLY)) == "data"; }},
      {"openat64", [&] { return ReadFd(openat64(AT_FDCWD, f.c_str(), O_RDONLY)) == "data"; }},
      {"__open_2", [&] { return ReadFd(__open_2(f.c_str(), O_RDONLY)) == "data"; }},
      {"__open64_2", [&] { return ReadFd(__open64_2(f.c_str(), O_RDONLY)) == "data"; }},
      {"__openat_2", [&] { return ReadFd(__openat_2(AT_FDCWD, f.c_str(), O_RDONLY)) == "data"; }},
      {"__openat64_2",
       [&] { return ReadFd(__openat64_2(AT_FDCWD, f.c_str(), O_RDONLY)) == "data"; }},
      {"creat", [&] { close(creat("/html5_persistent/c1", 0644)); return HostHas("c1"); }},
      {"creat64", [&] { close(creat64("/html5_persistent/c2", 0644)); return HostHas("c2"); }},
      {"fopen", [&] {
         FILE* file = fopen("/html5_persistent/s1", "w");
         return file && fputs("s", file) >= 0 && fclose(file) == 0 && Host("s1") == "s";
       }},
      {"fopen64", [&] {
         FILE* file = fopen64(f.c_str(), "r");
         char text[8] = {};
         bool ok = file && fgets(text, sizeof(text), file) && std::string(text) == "data";
         if (file) fclose(file);
         return ok;
       }},
      {"freopen", [&] {
         FILE* file = freopen(f.c_str(), "r", fopen("/dev/null", "r"));
         char text[8] = {};
         bool ok = file && fgets(text, sizeof(text), file) && std::string(text) == "data";
         if (file) fclose(file);
         return ok;
       }},
      {"freopen64", [&] {
         FILE* file = freopen64("/html5_persistent/s2", "w", fopen("/dev/null", "w"));
         return file && fputs("t", file) >= 0 && fclose(file) == 0 && Host("s2") == "t";
       }},
      {"fdopen", [&] {
         FILE* file = fdopen(open(f.c_str(), O_RDONLY), "r");
         char text[8] = {};
         bool ok = file && fgets(text, sizeof(text), file) && std::string(text) == "data";
         if (file) fclose(file);
         return ok;
       }},
      {"fileno", [&] {
         FILE* file = fopen(f.c_str(), "r");
         struct stat info;
         bool ok = file && fstat(fileno(file), &info) == 0 && info.st_size == 4 &&
                   fstat(fileno_unlocked(file), &info) == 0;
         if (file) fclose(file);
         return ok;
       }},
      {"stat", [&] { struct stat s; return stat(f.c_str(), &s) == 0 && s.st_size == 4; }},
      {"stat64", [&] { struct stat64 s; return stat64(f.c_str(), &s) == 0 && s.st_size == 4; }},
      {"lstat", [&] { struct stat s; return lstat(f.c_str(), &s) == 0 && s.st_size == 4; }},
      {"lstat64", [&] { struct stat64 s; return lstat64(f.c_str(), &s) == 0 && s.st_size == 4; }},
      {"fstatat", [&] {
         struct stat s;
         return fstatat(AT_FDCWD, f.c_str(), &s, 0) == 0 && s.st_size == 4;
       }},
      {"fstatat64", [&] {
         struct stat64 s;
         return fstatat64(AT_FDCWD, f.c_str(), &s, 0) == 0 && s.st_size == 4;
       }},
      {"statx", [&] {
         struct statx s;
         return statx(AT_FDCWD, f.c_str(), 0, STATX_SIZE, &s) == 0 && s.stx_size == 4;
       }},
      {"access", [&] { return access(f.c_str(), R_OK) == 0; }},
      {"euidaccess", [&] { return euidaccess(f.c_str(), R_OK) == 0; }},
      {"eaccess", [&] { return eaccess(f.c_str(), R_OK) == 0; }},
      {"faccessat", [&] { return faccessat(AT_FDCWD, f.c_str(), R_OK, 0) == 0; }},
      {"unlink", [&] { Put("u1", ""); return unlink("/html5_persistent/u1") == 0 && !HostHas("u1"); }},
      {"unlinkat", [&] {
         Put("u2", "");
         return unlinkat(AT_FDCWD, "/html5_persistent/u2", 0) == 0 && !HostHas("u2");
       }},
      {"remove", [&] { Put("u3", ""); return remove("/html5_persistent/u3") == 0 && !HostHas("u3"); }},
      {"mkdir", [&] { return mkdir("/html5_persistent/m1", 0755) == 0 && HostHas("m1"); }},
      {"mkdirat", [&] {
         return mkdirat(AT_FDCWD, "/html5_persistent/m2", 0755) == 0 && HostHas("m2");
       }},
      {"rmdir", [&] {
         ::mkdir((host_ + "/m3").c_str(), 0755);
         return rmdir("/html5_persistent/m3") == 0 && !HostHas("m3");
       }},
      {"mknod", [&] {
         return mknod("/html5_persistent/n1", S_IFIFO | 0644, 0) == 0 && S_ISFIFO(HostMode("n1"));
       }},
      {"mknodat", [&] {
         return mknodat(AT_FDCWD, "/html5_persistent/n2", S_IFIFO | 0644, 0) == 0 &&
                S_ISFIFO(HostMode("n2"));
       }},
      {"mkfifo", [&] {
         return mkfifo("/html5_persistent/n3", 0644) == 0 && S_ISFIFO(HostMode("n3"));
       }},
      {"mkfifoat", [&] {
         return mkfifoat(AT_FDCWD, "/html5_persistent/n4", 0644) == 0 && S_ISFIFO(HostMode("n4"));
       }},
      {"chmod", [&] { return chmod(f.c_str(), 0600) == 0 && (HostMode("f") & 0777) == 0600; }},
      {"fchmodat", [&] {
         return fchmodat(AT_FDCWD, f.c_str(), 0640, 0) == 0 && (HostMode("f") & 0777) == 0640;
       }},
      {"chown", [&] { return chown(f.c_str(), getuid(), getgid()) == 0; }},
      {"lchown", [&] { return lchown(f.c_str(), getuid(), getgid()) == 0; }},
      {"fchownat", [&] { return fchownat(AT_FDCWD, f.c_str(), getuid(), getgid(), 0) == 0; }},
      {"utime", [&] {
         struct utimbuf times = {1000, 2000};
         struct stat s;
         return utime(f.c_str(), &times) == 0 && stat((host_ + "/f").c_str(), &s) == 0 &&
                s.st_mtime == 2000;
       }},
      {"utimes", [&] {
         struct timeval times[2] = {{1000, 0}, {3000, 0}};
         struct stat s;
         return utimes(f.c_str(), times) == 0 && stat((host_ + "/f").c_str(), &s) == 0 &&
                s.st_mtime == 3000;
       }},
      {"lutimes", [&] {
         struct timeval times[2] = {{1000, 0}, {4000, 0}};
         struct stat s;
         return lutimes(f.c_str(), times) == 0 && stat((host_ + "/f").c_str(), &s) == 0 &&
                s.st_mtime == 4000;
       }},
      {"futimesat", [&] {
         struct timeval times[2] = {{1000, 0}, {5000, 0}};
         struct stat s;
         return futimesat(AT_FDCWD, f.c_str(), times) == 0 &&
                stat((host_ + "/f").c_str(), &s) == 0 && s.st_mtime == 5000;
       }},
      {"utimensat", [&] {
         struct timespec times[2] = {{1000, 0}, {6000, 0}};
         struct stat s;
         return utimensat(AT_FDCWD, f.c_str(), times, 0) == 0 &&
                stat((host_ + "/f").c_str(), &s) == 0 && s.st_mtime == 6000;
       }},
      {"statvfs", [&] { struct statvfs s; return statvfs(f.c_str(), &s) == 0; }},
      {"statvfs64", [&] { struct statvfs64 s; return statvfs64(f.c_str(), &s) == 0; }},
      {"statfs", [&] { struct statfs s; return statfs(f.c_str(), &s) == 0; }},
      {"statfs64", [&] { struct statfs64 s; return statfs64(f.c_str(), &s) == 0; }},
      {"pathconf", [&] { return pathconf(f.c_str(), _PC_NAME_MAX) > 0; }},
      {"scandir", [&] { return ScanFindsF<struct dirent>(&scandir, &alphasort); }},
      {"scandir64", [&] { return ScanFindsF<struct dirent64>(&scandir64, &alphasort64); }},
      {"truncate", [&] {
         Put("t1", "12345");
         return truncate("/html5_persistent/t1", 2) == 0 && Host("t1") == "12";
       }},
      {"truncate64", [&] {
         Put("t2", "12345");
         return truncate64("/html5_persistent/t2", 3) == 0 && Host("t2") == "123";
       }},
      {"opendir", [&] {
         DIR* dir = opendir("/html5_persistent/d");
         bool ok = dir != nullptr;
         if (dir) closedir(dir);
         return ok;
       }},
      {"rename", [&] {
         Put("r1", "r");
         return rename("/html5_persistent/r1", "/html5_persistent/r2") == 0 && Host("r2") == "r";
       }},
      {"renameat", [&] {
         Put("r3", "r");
         return renameat(AT_FDCWD, "/html5_persistent/r3", AT_FDCWD, "/html5_persistent/r4") == 0 &&
                Host("r4") == "r";
       }},
      {"renameat2", [&] {
         Put("r5", "r");
         return renameat2(AT_FDCWD, "/html5_persistent/r5", AT_FDCWD, "/html5_persistent/r6",
                          RENAME_NOREPLACE) == 0 &&
                Host("r6") == "r";
       }},
      {"link", [&] { return link(f.c_str(), "/html5_persistent/l1") == 0 && Host("l1") == "data"; }},
      {"linkat", [&] {
         return linkat(AT_FDCWD, f.c_str(), AT_FDCWD, "/html5_persistent/l2", 0) == 0 &&
                Host("l2") == "data";
       }},
      {"symlink", [&] {
         return symlink(f.c_str(), "/html5_persistent/y1") == 0 && S_ISLNK(HostMode("y1")) &&
                Host("y1") == "data";
       }},
      {"symlinkat", [&] {
         return symlinkat("f", AT_FDCWD, "/html5_persistent/y2") == 0 && Host("y2") == "data";
       }},
      {"readlink", [&] {
         ::symlink((host_ + "/f").c_str(), (host_ + "/y3").c_str());
         char target[PATH_MAX] = {};
         ssize_t length = readlink("/html5_persistent/y3", target, sizeof(target));
         return length > 0 && std::string(target, length) == f;
       }},
      {"readlinkat", [&] {
         ::symlink("f", (host_ + "/y4").c_str());
         char target[PATH_MAX] = {};
         ssize_t length = readlinkat(AT_FDCWD, "/html5_persistent/y4", target, sizeof(target));
         return length == 1 && target[0] == 'f';
       }},
      {"realpath", [&] {
         ::symlink("d", (host_ + "/y5").c_str());
         char* path = realpath("/html5_persistent/./y5/", nullptr);
         bool ok = path && std::string(path) == "/html5_persistent/d";
         free(path);
         return ok;
       }},
      {"canonicalize_file_name", [&] {
         char* path = canonicalize_file_name("/html5_persistent/d/../f");
         bool ok = path && std::string(path) == f;
         free(path);
         return ok;
       }},
      {"__realpath_chk", [&] {
         char path[PATH_MAX];
         return __realpath_chk("/html5_persistent/d/../f", path, sizeof(path)) == path &&
                std::string(path) == f;
       }},
      {"__readlink_chk", [&] {
         ::symlink("f", (host_ + "/y6").c_str());
         char target[8] = {};
         return __readlink_chk("/html5_persistent/y6", target, sizeof(target), sizeof(target)) ==
                    1 &&
                target[0] == 'f';
       }},
      {"__readlinkat_chk", [&] {
         ::symlink("f", (host_ + "/y7").c_str());
         char target[8] = {};
         return __readlinkat_chk(AT_FDCWD, "/html5_persistent/y7", target, sizeof(target),
                                 sizeof(target)) == 1 &&
                target[0] == 'f';
       }},
      {"__getcwd_chk", [&] {
         char path[PATH_MAX] = {};
         bool ok = chdir("/html5_persistent/d") == 0 &&
                   __getcwd_chk(path, sizeof(path), sizeof(path)) &&
                   std::string(path) == "/html5_persistent/d";
         return chdir(cwd_.c_str()) == 0 && ok;
       }},
      {"chdir", [&] {
         bool ok = chdir("/html5_persistent/d") == 0 && ReadFd(open("../f", O_RDONLY)) == "data";
         return chdir(cwd_.c_str()) == 0 && ok;
       }},
      {"fchdir", [&] {
         int dir = open(kP, O_RDONLY | O_DIRECTORY);
         bool ok = dir >= 0 && fchdir(dir) == 0 && ReadFd(open("f", O_RDONLY)) == "data";
         if (dir >= 0) close(dir);
         return chdir(cwd_.c_str()) == 0 && ok;
       }},
      {"getcwd", [&] {
         char path[PATH_MAX] = {};
         bool ok = chdir("/html5_persistent/d") == 0 && getcwd(path, sizeof(path)) &&
                   std::string(path) == "/html5_persistent/d";
         return chdir(cwd_.c_str()) == 0 && ok;
       }},
      {"mkstemp", [&] {
         char name[] = "/html5_persistent/tmpXXXXXX";
         int fd = mkstemp(name);
         if (fd >= 0) close(fd);
         return fd >= 0 && HostHas(name + strlen(kP) + 1);
       }},
      {"mkstemp64", [&] {
         char name[] = "/html5_persistent/tmpXXXXXX";
         int fd = mkstemp64(name);
         if (fd >= 0) close(fd);
         return fd >= 0 && HostHas(name + strlen(kP) + 1);
       }},
      {"mkostemp", [&] {
         char name[] = "/html5_persistent/tmpXXXXXX";
         int fd = mkostemp(name, O_CLOEXEC);
         if (fd >= 0) close(fd);
         return fd >= 0 && HostHas(name + strlen(kP) + 1);
       }},
      {"mkostemp64", [&] {
         char name[] = "/html5_persistent/tmpXXXXXX";
         int fd = mkostemp64(name, O_CLOEXEC);
         if (fd >= 0) close(fd);
         return fd >= 0 && HostHas(name + strlen(kP) + 1);
       }},
      {"mkstemps", [&] {
         char name[] = "/html5_persistent/tmpXXXXXX.gif";
         int fd = mkstemps(name, 4);
         if (fd >= 0) close(fd);
         return fd >= 0 && HostHas(name + strlen(kP) + 1) &&
                std::string(name).substr(strlen(name) - 4) == ".gif";
       }},
      {"mkstemps64", [&] {
         char name[] = "/html5_persistent/tmpXXXXXX.gif";
         int fd = mkstemps64(name, 4);
         if (fd >= 0) close(fd);
         return fd >= 0 && HostHas(name + strlen(kP) + 1);
       }},
      {"mkdtemp", [&] {
         char name[] = "/html5_persistent/dirXXXXXX";
         return mkdtemp(name) == name && S_ISDIR(HostMode(name + strlen(kP) + 1));
       }},
      {"glob", [&] {
         glob_t found;
         bool ok = glob("/html5_persistent/[f]", 0, nullptr, &found) == 0 &&
                   found.gl_pathc == 1 && std::string(found.gl_pathv[0]) == f;
         globfree(&found);
         return ok;
       }},
      {"glob64", [&] {
         glob64_t found;
         bool ok = glob64("/html5_persistent/?", 0, nullptr, &found) == 0 &&
                   found.gl_pathc >= 2 && std::string(found.gl_pathv[0]) == "/html5_persistent/d";
         globfree64(&found);
         return ok;
       }},
  };
  std::set<std::string> names;
  for (const auto& call : calls) {
    EXPECT_TRUE(call.second()) << call.first;
    names.insert(call.first);
  }
  EXPECT_EQ(CoveredCalls(), names);
}

TEST_F(PathCallsTest, NoPathLeadsOutOfAMount) {
  Put("f", "inside");
  ASSERT_EQ(0, ::mkdir((host_ + "/d").c_str(), 0755));
  FILE* secret = fopen((outside_ + "/secret").c_str(), "w");
  ASSERT_NE(nullptr, secret);
  fputs("outside", secret);
  fclose(secret);
  std::string escape_target = outside_ + "/secret";
  std::string climb = "../../../../../../../../../../.." + outside_ + "/secret";

  // Links made on the host side that point out of the directory.
  ASSERT_EQ(0, ::symlink(escape_target.c_str(), (host_ + "/abs").c_str()));
  ASSERT_EQ(0, ::symlink(climb.c_str(), (host_ + "/d/rel").c_str()));
  ASSERT_EQ(0, ::symlink(outside_.c_str(), (host_ + "/dirlink").c_str()));
  for (const char* path : {"/html5_persistent/abs", "/html5_persistent/d/rel",
                           "/html5_persistent/dirlink/secret"}) {
    errno = 0;
    EXPECT_EQ("<failed>", ReadFd(open(path, O_RDONLY))) << path;
    EXPECT_EQ(ENOENT, errno) << path;
    struct stat info;
    EXPECT_NE(0, stat(path, &info)) << path;
  }
  // The same link names stay usable for what lies inside: an absolute
  // target is taken from the mount point, ".." stops there.
  ASSERT_EQ(0, kelmora_test::RunProgram({"/bin/mkdir", "-p", host_ + outside_}, "").exit_code);
  Put(outside_.substr(1) + "/secret", "contained");
  EXPECT_EQ("contained", ReadFd(open("/html5_persistent/abs", O_RDONLY)));
  EXPECT_EQ("contained", ReadFd(open("/html5_persistent/d/rel", O_RDONLY)));
  // Writing through such a link creates nothing outside.
  int fd = open("/html5_persistent/dirlink/new", O_WRONLY | O_CREAT, 0644);
  if (fd >= 0) close(fd);
  EXPECT_NE(0, access((outside_ + "/new").c_str(), F_OK));
  // Links inside the mount work as links.
  ASSERT_EQ(0, symlink("d", "/html5_persistent/to_d"));
  ASSERT_EQ(0, symlink("/html5_persistent/f", "/html5_persistent/d/to_f"));
  EXPECT_EQ("inside", ReadFd(open("/html5_persistent/to_d/to_f", O_RDONLY)));
  ASSERT_EQ(0, symlink("loop", "/html5_persistent/loop"));
  errno = 0;
  EXPECT_EQ(-1, open("/html5_persistent/loop", O_RDONLY));
  EXPECT_EQ(ELOOP, errno);

  // Relative to a directory descriptor of the mount.
  int dir = open("/html5_persistent/d", O_RDONLY | O_DIRECTORY);
  ASSERT_GE(dir, 0);
  EXPECT_EQ("inside", ReadFd(openat(dir, "../f", O_RDONLY)));
  errno = 0;
  EXPECT_EQ(-1, openat(dir, climb.c_str(), O_RDONLY));
  EXPECT_EQ(ENOENT, errno);
  struct stat info;
  EXPECT_NE(0, fstatat(dir, "../../../../../../../../../etc/passwd", &info, 0));
  EXPECT_EQ(0, mkdirat(dir, "sub", 0755));
  EXPECT_TRUE(HostHas("d/sub"));
  close(dir);

  // Relative to a working directory in the mount.
  ASSERT_EQ(0, chdir("/html5_persistent/d"));
  EXPECT_EQ("inside", ReadFd(open("../f", O_RDONLY)));
  EXPECT_EQ(-1, open(climb.c_str(), O_RDONLY));
  EXPECT_NE(0, access("../../../../../../../../../etc/passwd", F_OK));
  ASSERT_EQ(0, chdir(cwd_.c_str()));
  // Back on the host, relative paths are the host's again.
  char here[PATH_MAX];
  ASSERT_NE(nullptr, getcwd(here, sizeof(here)));
  EXPECT_EQ(cwd_, here);
}

TEST_F(PathCallsTest, ImagesReadThroughLinksAndMadeNamesInAMount) {
  kelmora::InitializeMagickOnce();
  Magick::Image image(Magick::Geometry(6, 4), Magick::Color("blue"));
  image.write("/html5_persistent/blue.png");
  ASSERT_EQ(0, symlink("blue.png", "/html5_persistent/link.png"));
  Magick::Image back;
  back.read("/html5_persistent/link.png");
  EXPECT_EQ(6u, back.columns());
  EXPECT_EQ(4u, back.rows());
  // A page path named inside a link made outside the mount, as the image
  // library does for its temporary names.
  std::string outside_link = outside_ + "/link.png";
  ASSERT_EQ(0, symlink("/html5_persistent/blue.png", outside_link.c_str()));
  Magick::Image via_outside;
  via_outside.read(outside_link);
  EXPECT_EQ(6u, via_outside.columns());
}

// The path-taking calls of the C library that the media libraries and the
// C++ library import: each is covered, save those that load code.
TEST(LibraryImportsTest, EveryPathCallTheLibrariesImportIsCovered) {
  kelmora::InitializeMagickOnce();
  std::vector<std::string> libraries;
  dl_iterate_phdr(
      [](struct dl_phdr_info* info, size_t, void* data) {
        std::string name = info->dlpi_name ? info->dlpi_name : "";
        for (const char* wanted : {"libavformat", "libavutil", "libavcodec", "libMagickCore",
                                   "libMagick++", "libstdc++"}) {
          if (name.find(wanted) != std::string::npos) {
            static_cast<std::vector<std::string>*>(data)->push_back(name);
          }
        }
        return 0;
      },
      &libraries);
  ASSERT_EQ(6u, libraries.size());
  std::set<std::string> not_covered = {"dlopen", "execvp", "execv", "execve", "execl",
                                       "execlp", "popen", "system"};
  for (const auto& library : libraries) {
    kelmora_test::ProgramResult imports =
        kelmora_test::RunProgram({"/usr/bin/nm", "-D", "--undefined-only", library}, "");
    ASSERT_EQ(0, imports.exit_code) << library;
    int path_calls = 0;
    for (const auto& line : imports.OutLines()) {
      std::string name = line.substr(line.find_last_of(' ') + 1);
      name = name.substr(0, name.find('@'));
      if (!PathCallsOfTheCLibrary().count(name) || not_covered.count(name)) continue;
      ++path_calls;
      EXPECT_EQ(1u, CoveredCalls().count(name)) << library << " imports " << name;
    }
    if (library.find("Magick++") == std::string::npos) {
      EXPECT_GT(path_calls, 0) << library;
    }
  }
}

}  // namespace
