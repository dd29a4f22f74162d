// File names as users give them: in any script, and longer than Windows' old
// MAX_PATH. The tests pass names as a console does: UTF-8 bytes on POSIX
// systems, UTF-16 on Windows, where the suite also runs in a second code page.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "bmp_builder.h"
#include "run_tool.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace fs = std::filesystem;

namespace {

// Framed on 10 x 10 at (3, 3); `mark` makes each name's picture its own.
test_picture marked_picture(uint8_t mark) {
  test_picture p = pattern_picture(4, 3);
  p.bgr[0] = mark;
  return p;
}

fs::path named(const fs::path& dir, const std::string& utf8_name) {
  return dir / fs::u8path(utf8_name);
}

}  // namespace

TEST(Names, EveryScriptFramesIntoItsOwnFile) {
#ifdef _WIN32
  // The run in a second code page says which one it must be.
  if (const char* code_page = std::getenv("VANDREL_EXPECTED_CODE_PAGE")) {
    ASSERT_EQ(std::to_string(GetACP()), code_page);
  }
#endif
  const std::vector<std::string> names = {
      u8"caf\u00e9",                       // in code page 1252
      u8"cafe\u0301",                      // the same word with a combining accent
      u8"\u03a9\u03bc\u03ad\u03b3\u03b1",  // Greek
      u8"\u5199\u771f",                    // Japanese
      u8"\U0001F5BC framed",               // outside the Basic Multilingual Plane
      u8"\u03a9\u03b1",                    // these two are both "??" in code page 1252
      u8"\u03a9\u03b2",
  };
  const fs::path dir = fresh_dir();
  const std::vector<uint8_t> old_output = {'o', 'l', 'd'};
  std::set<std::string> expected_names;
  for (size_t i = 0; i < names.size(); ++i) {
    const std::string& name = names[i];
    const std::vector<uint8_t> whole = build_bmp(marked_picture(static_cast<uint8_t>(i)));
    const std::string output = "10x10_" + name + ".bmp";
    write_file(named(dir, output), old_output);
    // A failed run leaves the existing output as it was; a good one replaces it.
    write_file(named(dir, name + ".bmp"), {whole.begin(), whole.end() - 1});
    const std::string args = "-i \"" + name + ".bmp\" -o \"" + name + "\"";
    EXPECT_EQ(run_tool(dir, args).out, "input file size err!!\n") << name;
    EXPECT_EQ(read_file(named(dir, output)), old_output) << name;
    write_file(named(dir, name + ".bmp"), whole);
    const run_result r = run_tool(dir, args);
    EXPECT_EQ(r.status, 0) << name;
    EXPECT_EQ(r.out + r.err, "") << name;
    expected_names.insert({name + ".bmp", output});
  }
  EXPECT_EQ(names_in(dir), expected_names);
  for (size_t i = 0; i < names.size(); ++i) {
    EXPECT_EQ(read_file(named(dir, "10x10_" + names[i] + ".bmp")),
              framed_reference(marked_picture(static_cast<uint8_t>(i)), 10, 3, 3))
        << names[i];
  }
}

TEST(Names, PathsLongerThanMaxPathWork) {
  // Three nested folders of 100 characters: more than 300 in all.
  const std::string a(100, 'a');
  const std::string folders = a + "/" + std::string(100, 'b') + "/" + std::string(100, 'c');
  const fs::path dir = fresh_dir();
  fs::create_directories(named(dir, folders));
  fs::create_directories(named(dir, "10x10_" + folders));
  const test_picture p = marked_picture(1);
  write_file(named(dir, folders + "/in.bmp"), build_bmp(p));
  const run_result r = run_tool(dir, "-i " + folders + "/in.bmp -o " + folders + "/pic");
  EXPECT_EQ(r.status, 0) << r.out;
  const fs::path output = named(dir, "10x10_" + folders + "/pic.bmp");
  EXPECT_GT(fs::absolute(output).u8string().size(), 300u);
  EXPECT_EQ(read_file(output), framed_reference(p, 10, 3, 3));
#ifdef _WIN32
  // The long form's prefix written with slashes, as "//?/C:/...", names the
  // same file as "\\?\C:\...".
  std::string slashed = fs::absolute(named(dir, folders + "/in.bmp")).u8string();
  std::replace(slashed.begin(), slashed.end(), '\\', '/');
  const run_result s = run_tool(dir, "-i \"//?/" + slashed + "\" -o " + folders + "/slashed");
  EXPECT_EQ(s.status, 0) << s.out;
  EXPECT_EQ(read_file(named(dir, "10x10_" + folders + "/slashed.bmp")),
            framed_reference(p, 10, 3, 3));
#endif
}

TEST(Names, ColonsNameStreamsOnWindowsAndFilesElsewhere) {
  const fs::path dir = fresh_dir();
  write_file(dir / "in.bmp", build_bmp(marked_picture(4)));
#ifdef _WIN32
  // On NTFS "a:b" is the stream b of the file a, and the output name starts
  // with the size, so no colon of -o can be a drive letter's: every one is
  // refused before anything is created.
  for (const char* name : {"12:30", "C:pic", "C:\\dir\\pic", "pic::$DATA"}) {
    const run_result r = run_tool(dir, std::string("-i in.bmp -o \"") + name + "\"");
    EXPECT_EQ(r.status, 1) << name;
    EXPECT_EQ(r.out, "output file write err!!\n") << name;
    EXPECT_EQ(names_in(dir), std::set<std::string>{"in.bmp"}) << name;
  }
#else
  const run_result r = run_tool(dir, "-i in.bmp -o 12:30");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(read_file(dir / "10x10_12:30.bmp"), framed_reference(marked_picture(4), 10, 3, 3));
#endif
}

#ifdef _WIN32
namespace {

// Counted, not named: such names have no UTF-8 form for names_in.
std::ptrdiff_t entries_in(const fs::path& dir) {
  return std::distance(fs::directory_iterator(dir), fs::directory_iterator());
}

}  // namespace

TEST(Names, LoneSurrogateNamesTheFileItNamesOrNone) {
  // Windows accepts names that are not valid UTF-16. The run either frames
  // exactly that file or fails with its message; it never writes elsewhere.
  const std::wstring name = L"x\xD800y";
  const fs::path dir = fresh_dir();
  const test_picture p = marked_picture(2);
  write_file(dir / (name + L".bmp"), build_bmp(p));
  if (entries_in(dir) == 0) GTEST_SKIP() << "this file system cannot hold such a name";
  const std::string text = "x\xED\xA0\x80y";  // the same name as text
  const run_result r = run_tool(dir, "-i \"" + text + ".bmp\" -o \"" + text + "\"");
  if (r.status == 0) {
    EXPECT_EQ(read_file(dir / (L"10x10_" + name + L".bmp")), framed_reference(p, 10, 3, 3));
    EXPECT_EQ(entries_in(dir), 2);
  } else {
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.out == "input file open err!!\n" || r.out == "output file write err!!\n")
        << r.out;
    EXPECT_EQ(entries_in(dir), 1);
  }
}
#else
TEST(Names, BytesThatAreNotTextArePassedThrough) {
  // POSIX names are bytes: not valid UTF-8 is still a name.
  const std::string name = "\xff\xfe";
  const fs::path dir = fresh_dir();
  const test_picture p = marked_picture(3);
  write_file(dir / (name + ".bmp"), build_bmp(p));
  const run_result r = run_tool(dir, "-i '" + name + ".bmp' -o '" + name + "'");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(read_file(dir / ("10x10_" + name + ".bmp")), framed_reference(p, 10, 3, 3));
}
#endif
