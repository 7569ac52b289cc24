// splicora-cli codecs, run as a user would, with its own settings file.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "tests/support/Fixtures.h"

using testsupport::Quote;

namespace {

struct Result {
  int status = 0;
  std::vector<std::vector<std::string>> lines;  // tab-separated fields
  std::string text;
};

Result RunCodecs(const std::string& settingsFile, const std::string& args) {
  Result r;
  r.status = testsupport::Run(
      "SPLICORA_SETTINGS=" + Quote(settingsFile) + " " + Quote(testsupport::CliPath()) + " codecs " + args + " 2>/dev/null",
      &r.text);
  std::istringstream in(r.text);
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1)
      fields.push_back(line.substr(start, tab - start));
    fields.push_back(line.substr(start));
    r.lines.push_back(fields);
  }
  return r;
}

const std::vector<std::string>* Line(const Result& r, const std::string& handler) {
  for (const auto& fields : r.lines)
    if (!fields.empty() && fields[0] == handler) return &fields;
  return nullptr;
}

}  // namespace

class CodecsCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(testsupport::HaveCommand(testsupport::CliPath())) << testsupport::CliPath() << " is not built";
    dir_ = testsupport::TempDir("cli-codecs");
    settings_ = dir_ + "/splicora.ini";
  }
  std::string dir_;
  std::string settings_;
};

TEST_F(CodecsCommand, ListsEveryCompressorWithItsSettings) {
  std::string ini = "[Compressor-divx]\nquality=40\nkeyint=12\n[Compressor-x264]\ncrf=99\n";
  testsupport::WriteFile(settings_, std::vector<uint8_t>(ini.begin(), ini.end()));
  Result r = RunCodecs(settings_, "");
  ASSERT_EQ(r.status, 0) << r.text;

  // Every encoder this FFmpeg has is listed, in the same order on every run.
  std::string encoders;
  testsupport::Run("ffmpeg -hide_banner -encoders 2>/dev/null", &encoders);
  std::vector<std::string> expected;
  const std::pair<const char*, const char*> known[] = {
      {"divx", "mpeg4"},   {"xvid", "libxvid"}, {"mp42", "msmpeg4v2"}, {"mp43", "msmpeg4"}, {"mjpg", "mjpeg"},
      {"x264", "libx264"}, {"ffv1", "ffv1"},    {"hfyu", "huffyuv"},   {"ulrg", "utvideo"}};
  for (const auto& [handler, encoder] : known)
    if (encoders.find(" " + std::string(encoder) + " ") != std::string::npos) expected.push_back(handler);
  expected.push_back("DIB ");
  std::vector<std::string> listed;
  for (const auto& fields : r.lines) {
    ASSERT_EQ(fields.size(), 3u) << fields[0];
    EXPECT_EQ(fields[0].size(), 4u);
    EXPECT_FALSE(fields[1].empty());
    EXPECT_LE(fields[1].size(), 127u);
    listed.push_back(fields[0]);
  }
  EXPECT_EQ(listed, expected);
  EXPECT_EQ(RunCodecs(settings_, "").text, r.text);

  // Stored values where valid, defaults elsewhere.
  EXPECT_EQ((*Line(r, "divx"))[2], "quality=40 keyint=12");
  EXPECT_EQ((*Line(r, "x264"))[2], "preset=medium crf=23 keyint=250");
  EXPECT_EQ((*Line(r, "mjpg"))[2], "quality=85");
  EXPECT_EQ((*Line(r, "DIB "))[2], "");
}

TEST_F(CodecsCommand, CheckSaysWhatSizeEachCompressorMakes) {
  Result r = RunCodecs(settings_, "--check 65 49");
  ASSERT_EQ(r.status, 0);
  ASSERT_FALSE(r.lines.empty());
  for (const auto& fields : r.lines) ASSERT_EQ(fields.size(), 4u) << fields[0];
  EXPECT_EQ((*Line(r, "x264"))[3], "accepts 65x49, produces 64x48");
  EXPECT_EQ((*Line(r, "divx"))[3], "accepts 65x49, produces 65x49");
  EXPECT_EQ((*Line(r, "DIB "))[3], "accepts 65x49, produces 65x49");

  Result wide = RunCodecs(settings_, "--check 16384 16");
  ASSERT_EQ(wide.status, 0);
  EXPECT_EQ((*Line(wide, "divx"))[3], "refuses 16384x16");  // past MPEG-4's limit
  EXPECT_EQ((*Line(wide, "mp42"))[3], "accepts 16384x16, produces 16384x16");
}

TEST_F(CodecsCommand, BadArgumentsAreRefused) {
  for (const char* args :
       {"--check", "--check 0 10", "--check 10", "--check a b", "--bogus", "--check 10 10 10"}) {
    Result r = RunCodecs(settings_, args);
    EXPECT_EQ(r.status, 2) << args;
    EXPECT_TRUE(r.text.empty()) << args;
  }
}
