// Replacing an output where the system sets the terms: the kernel's rule for
// files in shared sticky folders, append-only folders, a file bind-mounted
// at the output name, chattr flags, no /proc inside a user namespace, and a
// system whose rules the program cannot read. POSIX only; each case that
// needs root, a mount or a build of its own says so where it cannot run.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "bmp_builder.h"
#include "run_tool.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/xattr.h>
#endif

namespace fs = std::filesystem;

namespace {

const test_picture SMALL = pattern_picture(4, 3);  // framed on 10 x 10 at (3, 3)
const std::vector<uint8_t> OLD_OUTPUT = {'o', 'l', 'd'};

// A folder holding in.bmp, the small picture.
fs::path folder_with_input() {
  const fs::path dir = fresh_dir();
  write_file(dir / "in.bmp", build_bmp(SMALL));
  return dir;
}

// The inode of `path`; 0 when it cannot be read.
ino_t inode_of(const fs::path& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

// Runs `command` through the shell, its output discarded; true on status 0.
bool shell(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

}  // namespace

TEST(ReplacingSystem, PlantedFileInASharedStickyFolderIsRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "planting another user's file needs root";
  const fs::path dir = folder_with_input();
  if (!runs_as_ordinary_user(dir)) GTEST_SKIP() << "the program cannot run as an ordinary user";
  // /tmp-like: sticky, world-writable, user 65533's. A file user 65532 made
  // writable to all is refused to root and to the ordinary user alike, as
  // the kernel refuses `cat >` there, whatever this machine's setting.
  const fs::path shared = dir / "shared";
  fs::create_directory(shared);
  ASSERT_EQ(chown(shared.c_str(), 65533, 65533), 0);
  ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
  const fs::path planted = shared / "10x10_framed.bmp";
  write_file(planted, OLD_OUTPUT);
  ASSERT_EQ(chown(planted.c_str(), 65532, 65532), 0);
  ASSERT_EQ(chmod(planted.c_str(), 0666), 0);
  for (const std::string& user : {std::string(), as_ordinary_user()}) {
    const run_result r = run_tool(shared, "-i ../in.bmp -o framed", user);
    EXPECT_EQ(r.status, 1) << user;
    EXPECT_EQ(r.out, "output file write err!!\n") << user;
    EXPECT_EQ(read_file(planted), OLD_OUTPUT) << user;
    struct stat st;
    ASSERT_EQ(stat(planted.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 65532u) << user;
    EXPECT_EQ(names_in(shared), std::set<std::string>{"10x10_framed.bmp"}) << user;
  }
  // The folder owner's file may be written.
  ASSERT_EQ(chown(planted.c_str(), 65533, 65533), 0);
  const run_result r = run_tool(shared, "-i ../in.bmp -o framed", as_ordinary_user());
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(read_file(planted), framed_reference(SMALL, 10, 3, 3));
}

#ifdef __linux__
TEST(ReplacingSystem, AppendOnlyFolderGetsNoNameItCannotRemove) {
  if (geteuid() != 0) GTEST_SKIP() << "making a folder append-only needs root";
  const fs::path dir = folder_with_input();
  const fs::path folder = dir / "kept";
  fs::create_directory(folder);
  write_file(folder / "in.bmp", build_bmp(SMALL));
  if (!shell("chattr +a \"" + folder.string() + "\"")) {
    GTEST_SKIP() << "this file system has no append-only folders";
  }
  // A new output through an unnamed file, linked once complete; through a
  // named temporary file, which could never be removed, refused at once;
  // then the existing output, which cannot be renamed over, written in place.
  const run_result unnamed = run_tool(folder, "-i in.bmp -o framed");
  const run_result named = run_tool(folder, "-i in.bmp -o named", "", tool_command(true));
  const ino_t before = inode_of(folder / "10x10_framed.bmp");
  const run_result again = run_tool(folder, "-i in.bmp -o framed");
  const std::set<std::string> names = names_in(folder);
  ASSERT_TRUE(shell("chattr -a \"" + folder.string() + "\""));
  EXPECT_EQ(unnamed.status, 0) << unnamed.out;
  EXPECT_EQ(named.status, 1);
  EXPECT_EQ(named.out, "output file write err!!\n");
  EXPECT_EQ(again.status, 0) << again.out;
  EXPECT_EQ(inode_of(folder / "10x10_framed.bmp"), before);
  EXPECT_EQ(names, (std::set<std::string>{"in.bmp", "10x10_framed.bmp"}));
  EXPECT_EQ(read_file(folder / "10x10_framed.bmp"), framed_reference(SMALL, 10, 3, 3));
}

TEST(ReplacingSystem, BindMountedFileIsWrittenInPlace) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting a file needs root";
  // A container's `-v pic.bmp:/out/pic.bmp`: the name cannot be renamed
  // over, so the picture goes into the file itself.
  const fs::path dir = folder_with_input();
  const fs::path real = dir / "real.bmp";
  const fs::path output = dir / "10x10_framed.bmp";
  write_file(real, OLD_OUTPUT);
  write_file(output, {});
  if (!shell("mount --bind \"" + real.string() + "\" \"" + output.string() + "\"")) {
    GTEST_SKIP() << "cannot bind-mount a file here";
  }
  const run_result r = run_tool(dir, "-i in.bmp -o framed");
  const std::set<std::string> names = names_in(dir);
  ASSERT_TRUE(shell("umount \"" + output.string() + "\""));
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(read_file(real), framed_reference(SMALL, 10, 3, 3));
  EXPECT_EQ(names, (std::set<std::string>{"in.bmp", "real.bmp", "10x10_framed.bmp"}));
}

TEST(ReplacingSystem, FatThroughFuseIsReplacedByARename) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting a FUSE file system needs root";
  // FAT keeps no owners or modes (fchown and fchmod answer ENOSYS) and
  // refuses to cut a file to the length it has: a picture replacing one of
  // its own size is still renamed into place, the old one whole until then.
  const fs::path dir = folder_with_input();
  const fs::path image = dir / "fat.img";
  const fs::path fat = dir / "fat";
  fs::create_directory(fat);
  if (!shell("truncate -s 4M \"" + image.string() + "\" && mkfs.fat \"" + image.string() +
             "\" && fusefat -o rw+ \"" + image.string() + "\" \"" + fat.string() + "\"")) {
    GTEST_SKIP() << "cannot mount FAT through FUSE here (fusefat, dosfstools, /dev/fuse)";
  }
  write_file(fat / "in.bmp", build_bmp(SMALL));
  const run_result made = run_tool(fat, "-i in.bmp -o framed");
  const run_result replaced = run_tool(fat, "-i in.bmp -o framed");
  const std::vector<uint8_t> output = read_file(fat / "10x10_framed.bmp");
  const std::set<std::string> names = names_in(fat);
  ASSERT_TRUE(shell("fusermount -u \"" + fat.string() + "\""));
  EXPECT_EQ(made.status, 0) << made.out;
  EXPECT_EQ(replaced.status, 0) << replaced.out;
  EXPECT_EQ(output, framed_reference(SMALL, 10, 3, 3));
  EXPECT_EQ(names, (std::set<std::string>{"in.bmp", "10x10_framed.bmp"}));
}

TEST(ReplacingSystem, ChattrFlagsAreKept) {
  const fs::path dir = folder_with_input();
  const fs::path output = dir / "10x10_framed.bmp";
  write_file(output, OLD_OUTPUT);
  // No dump and no access times, which the file's owner may set.
  const auto flags_of = [](const fs::path& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    int flags = -1;
    if (fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0) flags = -1;
    if (fd >= 0) close(fd);
    return flags;
  };
  const int fd = open(output.c_str(), O_RDONLY | O_CLOEXEC);
  int flags = flags_of(output) | FS_NODUMP_FL | FS_NOATIME_FL;
  const bool set = fd >= 0 && ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
  if (fd >= 0) close(fd);
  if (!set) GTEST_SKIP() << "this file system keeps no chattr flags";
  const ino_t before = inode_of(output);
  EXPECT_EQ(run_tool(dir, "-i in.bmp -o framed").status, 0);
  EXPECT_NE(inode_of(output), before);  // replaced by a new file
  EXPECT_EQ(flags_of(output) & (FS_NODUMP_FL | FS_NOATIME_FL), FS_NODUMP_FL | FS_NOATIME_FL);
  EXPECT_EQ(read_file(output), framed_reference(SMALL, 10, 3, 3));
}

TEST(ReplacingSystem, WithoutProcInAUserNamespaceANamedFileIsUsed) {
  if (std::string(VANDREL_RUNNER).size() > 0) GTEST_SKIP() << "strace would trace the emulator";
#ifdef VANDREL_SANITIZED
  GTEST_SKIP() << "the sanitizers cannot run a program without /proc";
#endif
  // Root of a user namespace, as in a rootless container, without /proc:
  // kernels before 6.10 refuse it the direct link of an unnamed file
  // (AT_EMPTY_PATH), which strace makes this kernel do too.
  const fs::path dir = folder_with_input();
  const std::string hide_proc =
      "env ASAN_OPTIONS=detect_leaks=0 strace -f -qq -o /dev/null -e inject=linkat:error=ENOENT "
      "unshare -Urm sh -c 'mount -t tmpfs none /proc && exec \"$0\" \"$@\"' ";
  if (!shell("cd \"" + dir.string() + "\" && " + hide_proc + "true")) {
    GTEST_SKIP() << "strace is missing, or cannot make a user namespace without /proc here";
  }
  const run_result r = run_tool(dir, "-i in.bmp -o framed", hide_proc);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(names_in(dir), (std::set<std::string>{"in.bmp", "10x10_framed.bmp"}));
  EXPECT_EQ(read_file(dir / "10x10_framed.bmp"), framed_reference(SMALL, 10, 3, 3));
}

TEST(ReplacingSystem, WithoutLinuxCallsAnExistingFileIsWrittenInPlace) {
  const std::string program = posix_only_command();
  if (program.empty()) GTEST_SKIP() << "the build without Linux's calls is not here";
  // Other POSIX systems' access control lists and attributes are not read,
  // so a rename could drop them: the file keeps its inode, and so all of them.
  const fs::path dir = folder_with_input();
  const fs::path output = dir / "10x10_framed.bmp";
  write_file(output, std::vector<uint8_t>(2000, 'o'));
  if (setxattr(output.c_str(), "user.album", "summer", 6, 0) != 0) {
    GTEST_SKIP() << "this file system keeps no user attributes";
  }
  const ino_t before = inode_of(output);
  const run_result r = run_tool(dir, "-i in.bmp -o framed", "", program);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(inode_of(output), before);
  EXPECT_EQ(attribute(output, "user.album"), (std::vector<uint8_t>{'s', 'u', 'm', 'm', 'e', 'r'}));
  EXPECT_EQ(read_file(output), framed_reference(SMALL, 10, 3, 3));
  // A new output is written and named as usual.
  EXPECT_EQ(run_tool(dir, "-i in.bmp -o new", "", program).status, 0);
  EXPECT_EQ(read_file(dir / "10x10_new.bmp"), framed_reference(SMALL, 10, 3, 3));
  EXPECT_EQ(names_in(dir), (std::set<std::string>{"in.bmp", "10x10_framed.bmp", "10x10_new.bmp"}));
}
#endif
#endif
