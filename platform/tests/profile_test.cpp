#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "platform/profile.h"
#include "process.h"

namespace {

std::string Write(const std::string& text) {
  const std::string path = kittest::MakeTempFolder("ini") + "a.ini";
  FILE* f = fopen(path.c_str(), "wb");
  fwrite(text.data(), 1, text.size(), f);
  fclose(f);
  return path;
}

TEST(Profile, ReadsValuesWithoutRegardToCaseOfNames) {
  const std::string p = Write("[INFO]\r\ncount = 2 \r\n[info1]\r\ninfo=C:/x.xml;V1.ext\r\n[Quoted]\r\nk=\" a b \"\r\n");
  EXPECT_EQ(pf::GetProfileInt("info", "COUNT", 9, p), 2);
  EXPECT_EQ(pf::GetProfileString("INFO1", "info", "", p), "C:/x.xml;V1.ext");
  EXPECT_EQ(pf::GetProfileString("quoted", "k", "", p), " a b ");
  EXPECT_EQ(pf::GetProfileString("info1", "missing", "def", p), "def");
  EXPECT_EQ(pf::GetProfileString("nosection", "info", "d", p), "d");
  EXPECT_EQ(pf::GetProfileInt("INFO", "missing", 7, p), 7);
  EXPECT_EQ(pf::GetProfileString("info1", "info", "", p, 5), "C:/x");  // buffer of 5
  EXPECT_EQ(pf::GetProfileInt("x", "y", 3, p + ".none"), 3);
  EXPECT_EQ(pf::GetProfileSectionNames(p), (std::vector<std::string>{"INFO", "info1", "Quoted"}));
  EXPECT_TRUE(pf::GetProfileSectionNames(p + ".none").empty());
}

TEST(Profile, IntegersAreTheLeadingDigits) {
  const std::string p = Write("[s]\na=12abc\nb=abc\nc=-5\n");
  EXPECT_EQ(pf::GetProfileInt("s", "a", 9, p), 12);
  EXPECT_EQ(pf::GetProfileInt("s", "b", 9, p), 0);
  EXPECT_EQ(pf::GetProfileInt("s", "c", 9, p), 0);
}

TEST(Profile, WritingReplacesAddsAndKeepsTheRest) {
  const std::string p = Write("; note\r\n[INFO]\r\ncount=1\r\n\r\n[info1]\r\ninfo=old\r\n[other]\r\nx=1\r\n");
  ASSERT_TRUE(pf::WriteProfileString("info", "COUNT", "2", p));   // replaced in place
  ASSERT_TRUE(pf::WriteProfileString("INFO", "added", "yes", p));  // added to its section
  ASSERT_TRUE(pf::WriteProfileString("info2", "info", "new", p));  // new section at the end
  EXPECT_EQ(kittest::ReadFile(p),
            "; note\r\n[INFO]\r\nCOUNT=2\r\nadded=yes\r\n\r\n[info1]\r\ninfo=old\r\n[other]\r\nx=1\r\n"
            "[info2]\r\ninfo=new\r\n");
  const std::string fresh = kittest::MakeTempFolder("ini") + "new.ini";
  ASSERT_TRUE(pf::WriteProfileString("INFO", "count", "0", fresh));
  EXPECT_EQ(pf::GetProfileInt("INFO", "count", 5, fresh), 0);
  EXPECT_FALSE(pf::WriteProfileString("a", "b", "c", "/nonexistent-dir/x.ini"));
}

}  // namespace
