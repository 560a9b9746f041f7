#include "common/versions.h"

#include <gtest/gtest.h>

#include "common/routines.h"
#include "test_util.h"

using namespace dorvex;
using dorvex::test::FixturePath;

TEST(VersionInfo, StringValuesAndTranslation) {
  TVersionInfo info(FixturePath(L"ver_corvend.exe"));
  ASSERT_TRUE(info.Valid());
  EXPECT_EQ(info.TranslationText(), L"041904E3");
  EXPECT_EQ(info.CompanyName(), L"Vorel-Soft");
  EXPECT_EQ(info.ProductVersion(), L"0412.00");
  EXPECT_EQ(info.StringValue(L"NoSuchValue"), L"");
  EXPECT_GT(info.FileDate(), 40000.0);
}

TEST(VersionInfo, FallsBackToTheFixedProductVersion) {
  TVersionInfo info(FixturePath(L"ver_fixed_only.exe"));
  ASSERT_TRUE(info.Valid());
  EXPECT_EQ(info.ProductVersion(), L"5.12.0.345");
  TVersionInfo dotted(FixturePath(L"ver_dotted.exe"));
  EXPECT_EQ(dotted.CompanyName(), L"   Vorel-Soft");
  EXPECT_EQ(dotted.ProductVersion(), L"5.12.0.345");
}

TEST(VersionInfo, FilesWithoutAResource) {
  TVersionInfo none(FixturePath(L"ver_none.exe"));
  EXPECT_FALSE(none.Valid());
  EXPECT_EQ(none.ProductVersion(), L"");
  EXPECT_EQ(none.CompanyName(), L"");
  EXPECT_EQ(none.TranslationText(), L"");
  TVersionInfo missing(FixturePath(L"no_such_file.exe"));
  EXPECT_FALSE(missing.Valid());
  EXPECT_EQ(missing.FileDate(), 0.0);
}

TEST(VersionInfo, TheRunningProgramHasNoResourceHere) {
  // The common tests carry no version resource: the program's own version texts are then empty.
  EXPECT_EQ(ProgramVersionText(), L"");
  EXPECT_EQ(ProgramVersionDate(), L"");
}
