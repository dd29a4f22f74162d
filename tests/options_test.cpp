// The command-line scanner: what each argument does to the option record,
// and which arguments end the run with the usage text.
#include "cli/options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct parsed {
  run_options options;
  origin_size origin;
};

parsed parse(std::vector<std::string> args) {
  args.insert(args.begin(), "vandrel");
  std::vector<const char*> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());
  parsed p;
  parse_options(static_cast<int>(argv.size()), argv.data(), p.options, p.origin);
  return p;
}

const char* const USAGE_START = "^Usage: vandrel \\[options\\]\n\toptions: \n";

}  // namespace

TEST(OptionScan, StoresPathsAndLetsTheLastValueWin) {
  const parsed p = parse({"stray.bmp", "-i", "a.bmp", "-o", "framed", "-i", "b.bmp", "-i2", "c"});
  EXPECT_EQ(p.options.input_path, "b.bmp");
  EXPECT_EQ(p.options.output_name, "framed");
  EXPECT_EQ(p.options.input2_path, "c");
}

TEST(OptionScan, TakesTheNextArgumentAsValueEvenWhenItLooksLikeAnOption) {
  EXPECT_EQ(parse({"-o", "-h"}).options.output_name, "-h");
  const parsed p = parse({"-i", "-o", "out"});
  EXPECT_EQ(p.options.input_path, "-o");
  EXPECT_EQ(p.options.output_name, "");  // "out" was skipped as a stray argument
}

TEST(OptionScan, KeepsLongValuesWhole) {
  const std::string long_name(5000, 'n');
  EXPECT_EQ(parse({"-o", long_name}).options.output_name, long_name);
}

TEST(OptionScan, ConvertsNumbersLikeAtoiWithoutOverflow) {
  const parsed p = parse({"-x", "abc", "-y", "12px", "-startx", " -7", "-hv", "99999999999",
                          "-mado", "-99999999999", "-orgx", "100", "-Fsc", "2.5e1x"});
  EXPECT_EQ(p.options.x, 0);
  EXPECT_EQ(p.options.y, 12);
  EXPECT_EQ(p.options.startx, -7);
  EXPECT_EQ(p.options.hv, INT32_MAX);
  EXPECT_EQ(p.options.mado, INT32_MIN);
  EXPECT_EQ(p.origin.orgx, 100);
  EXPECT_EQ(p.origin.orgy, 480);
  EXPECT_DOUBLE_EQ(p.options.Fsc, 25.0);
}

TEST(OptionScan, AcceptsEveryKnownKeyword) {
  const parsed p =
      parse({"-starty", "1", "-bunshi", "2", "-bunbo", "3", "-norm", "4", "-tapnum_y", "5",
             "-tapnum_c", "6", "-sizexminus", "7", "-sizexminusy", "8", "-orgy", "9"});
  EXPECT_EQ(p.options.starty, 1);
  EXPECT_EQ(p.options.bunshi, 2);
  EXPECT_EQ(p.options.bunbo, 3);
  EXPECT_EQ(p.options.norm, 4);
  EXPECT_EQ(p.options.tapnum_y, 5);
  EXPECT_EQ(p.options.tapnum_c, 6);
  EXPECT_EQ(p.options.sizexminus, 7);
  EXPECT_EQ(p.options.sizexminusy, 8);
  EXPECT_EQ(p.origin.orgy, 9);
}

TEST(OptionScan, HelpAskedEndsWellAndMistakesEndAsFailures) {
  const std::vector<std::vector<std::string>> asked = {{"-i", "a.bmp", "-h"}, {"-help"}};
  for (const auto& args : asked) {
    EXPECT_EXIT(parse(args), testing::ExitedWithCode(0), USAGE_START) << args.back();
  }
  const std::vector<std::vector<std::string>> mistakes = {{"-H"},
                                                          {"-I", "a.bmp"},
                                                          {"-fsc", "1"},
                                                          {"-"},
                                                          {"--input", "a.bmp"},
                                                          {"-i", "a.bmp", "-o", "x", "-q", "3"},
                                                          {"-o", "x", "-i"},
                                                          {"-x"}};
  for (const auto& args : mistakes) {
    EXPECT_EXIT(parse(args), testing::ExitedWithCode(1), USAGE_START) << args.back();
  }
}
