// Replacing an existing output behaves like writing into it would have:
// the file keeps its permissions, owner, access control list and extended
// attributes, links are followed safely, and the old content stays whole
// until the new file is complete. Where only the file, not its folder, may
// be written, the picture is written into the file itself.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bmp_builder.h"
#include "run_tool.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#endif
#ifdef __linux__
#include <sys/xattr.h>
#endif

namespace fs = std::filesystem;

namespace {

const test_picture SMALL = pattern_picture(4, 3);  // framed on 10 x 10 at (3, 3)

// A folder holding in.bmp, the small picture.
fs::path folder_with_input() {
  const fs::path dir = fresh_dir();
  write_file((dir / "in.bmp").string(), build_bmp(SMALL));
  return dir;
}

}  // namespace

TEST(Replacing, ConcurrentRunsToOneNameLeaveOneCompleteFile) {
  // Replacing one file, and making one: every run but the first finds the
  // name taken by another run's picture at the end, and replaces it.
  for (const bool existed : {true, false}) {
    const fs::path dir = folder_with_input();
    if (existed) write_file((dir / "10x10_framed.bmp").string(), {'o', 'l', 'd'});
    const std::vector<run_result> results =
        run_tools_at_once(dir, std::vector<std::string>(8, "-i in.bmp -o framed"));
    for (const run_result& r : results) {
      EXPECT_EQ(r.status, 0) << existed;
      EXPECT_EQ(r.out + r.err, "") << existed;
    }
    EXPECT_EQ(names_in(dir), (std::set<std::string>{"in.bmp", "10x10_framed.bmp"})) << existed;
    EXPECT_EQ(read_file((dir / "10x10_framed.bmp").string()), framed_reference(SMALL, 10, 3, 3));
  }
}

TEST(Replacing, ReadOnlyOutputIsRefusedUntouched) {
#ifndef _WIN32
  if (geteuid() == 0) GTEST_SKIP() << "root may write any file";
#endif
  const fs::path dir = folder_with_input();
  const fs::path output = dir / "10x10_framed.bmp";
  write_file(output.string(), {'o', 'l', 'd'});
  fs::permissions(output, fs::perms::owner_read);
  const run_result r = run_tool(dir, "-i in.bmp -o framed");
  fs::permissions(output, fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "output file write err!!\n");
  EXPECT_EQ(read_file(output.string()), (std::vector<uint8_t>{'o', 'l', 'd'}));
  EXPECT_EQ(names_in(dir), (std::set<std::string>{"in.bmp", "10x10_framed.bmp"}));
}

#ifdef _WIN32
TEST(Replacing, AttributesAreKeptAndTheNewFileIsMarkedChanged) {
  // Hidden stays hidden; the archive bit, which backups that copy changed
  // files clear, is set again, as writing into the file would set it.
  const fs::path dir = folder_with_input();
  const fs::path output = dir / "10x10_framed.bmp";
  write_file(output, {'o', 'l', 'd'});
  ASSERT_TRUE(SetFileAttributesW(output.c_str(), FILE_ATTRIBUTE_HIDDEN));
  const DWORD before = GetFileAttributesW(output.c_str());
  ASSERT_NE(before & FILE_ATTRIBUTE_HIDDEN, 0u);
  EXPECT_EQ(run_tool(dir, "-i in.bmp -o framed").status, 0);
  const DWORD after = GetFileAttributesW(output.c_str());
  EXPECT_NE(after & FILE_ATTRIBUTE_HIDDEN, 0u);
  EXPECT_NE(after & FILE_ATTRIBUTE_ARCHIVE, 0u);
  EXPECT_EQ(read_file(output), framed_reference(SMALL, 10, 3, 3));
  if ((before & FILE_ATTRIBUTE_ARCHIVE) != 0) {
    GTEST_SKIP() << "this file system keeps no cleared archive bit (Wine shows it on every file)";
  }
}
#else
TEST(Replacing, PermissionBitsAndOwnerAreKept) {
  const fs::path dir = folder_with_input();
  const std::string output = (dir / "10x10_framed.bmp").string();
  const bool root = geteuid() == 0;
  // Set-group-ID and sticky bits too, which the owner (or root) may set.
  for (mode_t mode : {0600, 0640, 0664, 02664, 01640}) {
    write_file(output, {'o', 'l', 'd'});
    ASSERT_EQ(chmod(output.c_str(), mode), 0);
    if (root) {
      ASSERT_EQ(chown(output.c_str(), 65534, 65534), 0);  // another user's
    }
    EXPECT_EQ(run_tool(dir, "-i in.bmp -o framed").status, 0);
    struct stat st;
    ASSERT_EQ(stat(output.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, mode);
    EXPECT_EQ(st.st_uid, root ? 65534 : geteuid());
    if (root) {
      EXPECT_EQ(st.st_gid, 65534u);
    }
    EXPECT_EQ(read_file(output), framed_reference(SMALL, 10, 3, 3));
  }
}

TEST(Replacing, SymbolicLinkStaysAndItsTargetIsReplaced) {
  const fs::path dir = folder_with_input();
  fs::create_directory(dir / "real");
  write_file((dir / "real" / "pic.bmp").string(), {'o', 'l', 'd'});
  fs::create_symlink("real/pic.bmp", dir / "10x10_link.bmp");
  fs::create_symlink("real/new.bmp", dir / "10x10_dangling.bmp");
  fs::create_symlink("nowhere/new.bmp", dir / "10x10_nowhere.bmp");

  EXPECT_EQ(run_tool(dir, "-i in.bmp -o link").status, 0);
  EXPECT_EQ(run_tool(dir, "-i in.bmp -o dangling").status, 0);
  EXPECT_EQ(run_tool(dir, "-i in.bmp -o nowhere").out, "output file write err!!\n");
  EXPECT_EQ(fs::read_symlink(dir / "10x10_link.bmp"), "real/pic.bmp");
  EXPECT_EQ(fs::read_symlink(dir / "10x10_dangling.bmp"), "real/new.bmp");
  EXPECT_EQ(read_file((dir / "real" / "pic.bmp").string()), framed_reference(SMALL, 10, 3, 3));
  EXPECT_EQ(read_file((dir / "real" / "new.bmp").string()), framed_reference(SMALL, 10, 3, 3));
  EXPECT_EQ(names_in(dir / "real"), (std::set<std::string>{"pic.bmp", "new.bmp"}));
  EXPECT_EQ(names_in(dir).size(), 5u);  // the input, three links, real/
}

TEST(Replacing, PlantedLinkInASharedStickyDirectoryIsRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "planting another user's link needs root";
  // /tmp-like: sticky, world-writable, owned by a third user. A link owned
  // by neither the user running the tool nor that owner must not be followed.
  const fs::path dir = folder_with_input();
  const fs::path shared = dir / "shared";
  fs::create_directory(shared);
  ASSERT_EQ(chown(shared.c_str(), 65533, 65533), 0);
  ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
  write_file((dir / "victim").string(), {'o', 'l', 'd'});
  const fs::path link = shared / "10x10_framed.bmp";
  fs::create_symlink("../victim", link);

  ASSERT_EQ(lchown(link.c_str(), 65534, 65534), 0);
  const run_result r = run_tool(shared, "-i ../in.bmp -o framed");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "output file write err!!\n");
  EXPECT_EQ(read_file((dir / "victim").string()), (std::vector<uint8_t>{'o', 'l', 'd'}));
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(names_in(shared), std::set<std::string>{"10x10_framed.bmp"});

  // The same link is followed once it is the directory owner's.
  ASSERT_EQ(lchown(link.c_str(), 65533, 65533), 0);
  EXPECT_EQ(run_tool(shared, "-i ../in.bmp -o framed").status, 0);
  EXPECT_EQ(read_file((dir / "victim").string()), framed_reference(SMALL, 10, 3, 3));

  // A planted link to a folder, reached as a folder of the output name.
  fs::create_directory(dir / "private");
  const fs::path folder_link = shared / "10x10_d";
  fs::create_symlink("../private", folder_link);
  ASSERT_EQ(lchown(folder_link.c_str(), 65534, 65534), 0);
  const run_result through = run_tool(shared, "-i ../in.bmp -o d/holiday");
  EXPECT_EQ(through.status, 1);
  EXPECT_EQ(through.out, "output file write err!!\n");
  EXPECT_TRUE(fs::is_empty(dir / "private"));
  ASSERT_EQ(lchown(folder_link.c_str(), 65533, 65533), 0);
  EXPECT_EQ(run_tool(shared, "-i ../in.bmp -o d/holiday").status, 0);
  EXPECT_EQ(read_file(dir / "private" / "holiday.bmp"), framed_reference(SMALL, 10, 3, 3));
}

TEST(Replacing, AnotherUsersFileIsWrittenInPlaceKeepingItsOwner) {
  if (geteuid() != 0) GTEST_SKIP() << "making another user's file needs root";
  const fs::path dir = folder_with_input();
  if (!runs_as_ordinary_user(dir)) GTEST_SKIP() << "the program cannot run as an ordinary user";
  // A file user 65533 lets everyone write, in a folder everyone may write:
  // the ordinary user cannot give a new file that owner. A colleague's file
  // in a sticky folder only their group may write: the ordinary user may
  // not rename over it either. (In a sticky folder everyone may write, the
  // kernel's protected-regular rule forbids writing it at all; so does a
  // group-writable one where the system's setting is 2.)
  std::vector<mode_t> folder_modes = {0777};
  const std::vector<uint8_t> level = read_file("/proc/sys/fs/protected_regular");
  if (level.empty() || level[0] != '2') folder_modes.push_back(01770);
  for (mode_t folder_mode : folder_modes) {
    const fs::path shared = dir / ("shared" + std::to_string(folder_mode));
    fs::create_directory(shared);
    ASSERT_EQ(chown(shared.c_str(), 0, 65534), 0);  // the ordinary user's group
    ASSERT_EQ(chmod(shared.c_str(), folder_mode), 0);
    const fs::path output = shared / "10x10_framed.bmp";
    write_file(output, {'o', 'l', 'd'});
    ASSERT_EQ(chown(output.c_str(), 65533, 65533), 0);
    ASSERT_EQ(chmod(output.c_str(), 0666), 0);
    struct stat before;
    ASSERT_EQ(stat(output.c_str(), &before), 0);

    const run_result r = run_tool(shared, "-i ../in.bmp -o framed", as_ordinary_user());
    EXPECT_EQ(r.status, 0) << folder_mode << r.out;
    struct stat after;
    ASSERT_EQ(stat(output.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino) << folder_mode;
    EXPECT_EQ(after.st_uid, 65533u) << folder_mode;
    EXPECT_EQ(after.st_gid, 65533u) << folder_mode;
    EXPECT_EQ(after.st_mode & 07777, 0666u) << folder_mode;
    EXPECT_EQ(read_file(output), framed_reference(SMALL, 10, 3, 3)) << folder_mode;
    EXPECT_EQ(names_in(shared), std::set<std::string>{"10x10_framed.bmp"}) << folder_mode;
  }
}

TEST(Replacing, AccessRulesChangedDuringTheRunAreKept) {
  const fs::path dir = fresh_dir();
  write_file(dir / "in.bmp", build_bmp(big_picture()));
  const fs::path output = dir / "3610x3610_big.bmp";
  const uint64_t size = 54u + 3610u * 10832u;
  // A run that could not be stopped before it had written everything is
  // tried again.
  bool caught = false;
  for (int attempt = 0; attempt < 3 && !caught; ++attempt) {
    write_file(output, {'o', 'l', 'd'});
    ASSERT_EQ(chmod(output.c_str(), 0644), 0);
    const pid_t run = start_tool(dir, "-i in.bmp -o big");
    caught = stop_while_writing(run, dir, size);
    if (caught) {
      ASSERT_EQ(chmod(output.c_str(), 0600), 0);  // made private while the run writes
      kill(run, SIGCONT);
    }
    EXPECT_EQ(wait_tool(run), 0);
  }
  ASSERT_TRUE(caught);
  struct stat after;
  ASSERT_EQ(stat(output.c_str(), &after), 0);
  EXPECT_EQ(after.st_mode & 07777, 0600u);
  EXPECT_EQ(fs::file_size(output), size);
}

TEST(Replacing, LongestFileNameWorks) {
  const fs::path dir = folder_with_input();
  const std::string name(255 - std::string("10x10_.bmp").size(), 'n');
  const run_result r = run_tool(dir, "-i in.bmp -o " + name);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(names_in(dir), (std::set<std::string>{"in.bmp", "10x10_" + name + ".bmp"}));
}

TEST(Replacing, WrittenInPlaceWhenOnlyTheFileMayBeWritten) {
  const fs::path dir = folder_with_input();
  if (!runs_as_ordinary_user(dir)) GTEST_SKIP() << "the program cannot run as an ordinary user";
  const fs::path output = dir / "10x10_framed.bmp";
  write_file(output, std::vector<uint8_t>(2000, 'o'));  // longer than the new file
  ASSERT_TRUE(give_to_ordinary_user(output));
  fs::create_hard_link(output, dir / "other_link.bmp");
  struct stat before;
  ASSERT_EQ(stat(output.c_str(), &before), 0);

  lock_folder(dir);
  const run_result r = run_tool(dir, "-i in.bmp -o framed", as_ordinary_user());
  unlock_folder(dir);
  EXPECT_EQ(r.status, 0) << r.out;
  struct stat after;
  ASSERT_EQ(stat(output.c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(read_file(output), framed_reference(SMALL, 10, 3, 3));
  EXPECT_EQ(read_file(dir / "other_link.bmp"), framed_reference(SMALL, 10, 3, 3));
  EXPECT_EQ(names_in(dir), (std::set<std::string>{"in.bmp", "10x10_framed.bmp", "other_link.bmp"}));
}

TEST(Replacing, RefusedUntouchedWhenNeitherFileNorFolderMayBeWritten) {
  const fs::path dir = folder_with_input();
  if (!runs_as_ordinary_user(dir)) GTEST_SKIP() << "the program cannot run as an ordinary user";
  const fs::path output = dir / "10x10_framed.bmp";
  write_file(output, {'o', 'l', 'd'});
  fs::permissions(output, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  lock_folder(dir);
  const run_result r = run_tool(dir, "-i in.bmp -o framed", as_ordinary_user());
  unlock_folder(dir);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "output file write err!!\n");
  EXPECT_EQ(read_file(output), (std::vector<uint8_t>{'o', 'l', 'd'}));
  EXPECT_EQ(names_in(dir), (std::set<std::string>{"in.bmp", "10x10_framed.bmp"}));
}

#ifdef __linux__
namespace {

// An access control list in the kernel's form: the owner, user 65533, the
// owning group, the mask and others with the permissions given (rwx as 4, 2,
// 1), in that order.
std::vector<uint8_t> access_list(uint16_t owner, uint16_t one_more_user, uint16_t group,
                                 uint16_t mask, uint16_t others) {
  std::vector<uint8_t> acl = {2, 0, 0, 0};  // version
  const auto entry = [&acl](uint16_t tag, uint16_t perm, uint32_t id) {
    const uint8_t bytes[8] = {uint8_t(tag),       uint8_t(tag >> 8), uint8_t(perm),
                              uint8_t(perm >> 8), uint8_t(id),       uint8_t(id >> 8),
                              uint8_t(id >> 16),  uint8_t(id >> 24)};
    acl.insert(acl.end(), bytes, bytes + 8);
  };
  constexpr uint32_t NO_ID = 0xFFFFFFFF;
  entry(0x01, owner, NO_ID);
  entry(0x02, one_more_user, 65533);
  entry(0x04, group, NO_ID);
  entry(0x10, mask, NO_ID);
  entry(0x20, others, NO_ID);
  return acl;
}

}  // namespace

TEST(Replacing, AccessControlListIsKeptExactlyWhateverTheFolderGivesNewFiles) {
  const fs::path dir = folder_with_input();
  // The folder gives every new file to user 65533 as well.
  const std::vector<uint8_t> folder_default = access_list(7, 6, 5, 7, 5);
  if (setxattr(dir.c_str(), "system.posix_acl_default", folder_default.data(),
               folder_default.size(), 0) != 0) {
    GTEST_SKIP() << "this file system keeps no access control lists: " << std::strerror(errno);
  }
  const fs::path output = dir / "10x10_framed.bmp";
  write_file(output, {'o', 'l', 'd'});

  // A file without a list of its own stays as closed as its bits say.
  ASSERT_EQ(removexattr(output.c_str(), "system.posix_acl_access"), 0);
  ASSERT_EQ(chmod(output.c_str(), 0640), 0);
  EXPECT_EQ(run_tool(dir, "-i in.bmp -o framed").status, 0);
  struct stat after;
  ASSERT_EQ(stat(output.c_str(), &after), 0);
  EXPECT_EQ(after.st_mode & 07777, 0640u);
  EXPECT_EQ(attribute(output, "system.posix_acl_access"), std::vector<uint8_t>{});

  // A file with its own list keeps exactly that one.
  const std::vector<uint8_t> acl = access_list(6, 6, 4, 6, 0);
  ASSERT_EQ(setxattr(output.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0), 0);
  ASSERT_EQ(stat(output.c_str(), &after), 0);
  ASSERT_EQ(after.st_mode & 0777, 0660u);  // the group bits show the mask
  EXPECT_EQ(run_tool(dir, "-i in.bmp -o framed").status, 0);
  ASSERT_EQ(stat(output.c_str(), &after), 0);
  EXPECT_EQ(after.st_mode & 0777, 0660u);
  EXPECT_EQ(attribute(output, "system.posix_acl_access"), acl);
  EXPECT_EQ(read_file(output), framed_reference(SMALL, 10, 3, 3));
}

TEST(Replacing, ExtendedAttributesAreKept) {
  const fs::path dir = folder_with_input();
  const fs::path output = dir / "10x10_framed.bmp";
  write_file(output, {'o', 'l', 'd'});
  if (setxattr(output.c_str(), "user.album", "summer", 6, 0) != 0) {
    GTEST_SKIP() << "this file system keeps no user attributes: " << std::strerror(errno);
  }
  EXPECT_EQ(run_tool(dir, "-i in.bmp -o framed").status, 0);
  EXPECT_EQ(attribute(output, "user.album"), (std::vector<uint8_t>{'s', 'u', 'm', 'm', 'e', 'r'}));
  EXPECT_EQ(read_file(output), framed_reference(SMALL, 10, 3, 3));
}
#endif
#endif
