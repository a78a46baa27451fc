// Choosing the language from the system locale, and what the choice sets.
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "AppLang.h"
#include "Charset.h"

using namespace TQuarlFuncs;

namespace {

// Sets the locale variables for one test and puts them back afterwards.
class LocaleEnv : public ::testing::Test {
protected:
  void SetUp() override {
    for (const char* v : kVars) {
      const char* old = std::getenv(v);
      saved_.push_back(old ? std::optional<std::string>(old) : std::nullopt);
      unsetenv(v);
    }
  }
  void TearDown() override {
    for (size_t i = 0; i < saved_.size(); ++i) {
      if (saved_[i])
        setenv(kVars[i], saved_[i]->c_str(), 1);
      else
        unsetenv(kVars[i]);
    }
  }
  static TAppLang With(const char* var, const char* value) {
    setenv(var, value, 1);
    return TAppLang();
  }

  static constexpr const char* kVars[] = {"LC_ALL", "LC_MESSAGES", "LANG"};
  std::vector<std::optional<std::string>> saved_;
};

std::string Utf8(const TQuarlString& s, uint32_t codePage) { return CodePageToUtf8(s.ToString(), codePage); }

}  // namespace

TEST_F(LocaleEnv, ChineseRegionsPickSimplifiedOrTraditional) {
  struct Case { const char* locale; uint16_t langId; TLangType type; };
  for (const Case& c : {Case{"zh_TW.UTF-8", 0x0404, ltTraditional}, Case{"zh_HK.UTF-8", 0x0C04, ltTraditional},
                        Case{"zh_MO", 0x1404, ltTraditional}, Case{"zh_CN.GB18030", 0x0804, ltSimplified},
                        Case{"zh_SG.UTF-8", 0x1004, ltSimplified}}) {
    TAppLang lang = With("LANG", c.locale);
    EXPECT_EQ(lang.fGetLangID(), c.langId) << c.locale;
    EXPECT_EQ(lang.fGetLangType(), c.type) << c.locale;
    EXPECT_EQ(lang.fGetDetectType(), dtAuto) << c.locale;
  }
}

TEST_F(LocaleEnv, OtherLanguagesAndTheCLocaleAreWestern) {
  for (const char* locale : {"de_DE.UTF-8", "en_US.UTF-8", "C", "POSIX", "C.UTF-8", "xx_YY"}) {
    TAppLang lang = With("LANG", locale);
    EXPECT_EQ(lang.fGetLangType(), ltWestern) << locale;
    EXPECT_EQ(lang.fGetCharset(), ANSI_CHARSET) << locale;
    EXPECT_EQ(lang.fGetFontName().ToString(), "MS Sans Serif") << locale;
    EXPECT_EQ(lang.fGetFontSize(), 8) << locale;
  }
  EXPECT_EQ(With("LANG", "de_DE.UTF-8").fGetLangID(), 0x0407);
  EXPECT_EQ(With("LANG", "C").fGetLangID(), 1033);
}

TEST_F(LocaleEnv, LcAllThenLcMessagesThenLang) {
  setenv("LANG", "de_DE.UTF-8", 1);
  setenv("LC_MESSAGES", "zh_CN.UTF-8", 1);
  EXPECT_EQ(TAppLang().fGetLangType(), ltSimplified);
  setenv("LC_ALL", "zh_TW.UTF-8", 1);
  EXPECT_EQ(TAppLang().fGetLangType(), ltTraditional);
  setenv("LC_ALL", "", 1);  // set but empty: not in force
  EXPECT_EQ(TAppLang().fGetLangType(), ltSimplified);
  unsetenv("LC_ALL");
  unsetenv("LC_MESSAGES");
  unsetenv("LANG");
  EXPECT_EQ(TAppLang().fGetLangID(), 1033);
}

TEST(AppLang, ChineseTypesTakeTheirFontAndCharset) {
  TAppLang simplified(0x0804);
  EXPECT_EQ(simplified.fGetCharset(), GB2312_CHARSET);
  EXPECT_EQ(Utf8(simplified.fGetFontName(), 936), "宋体");
  EXPECT_EQ(simplified.fGetFontSize(), 9);

  TAppLang traditional(0x0404);
  EXPECT_EQ(traditional.fGetCharset(), CHINESEBIG5_CHARSET);
  EXPECT_EQ(Utf8(traditional.fGetFontName(), 950), "細明體");
}

TEST(AppLang, SettingTheCharsetFixesTheTypeButNotTheFont) {
  TAppLang lang(0x0804);
  lang.fSetCharset(136);
  EXPECT_EQ(lang.fGetLangType(), ltTraditional);
  EXPECT_EQ(lang.fGetDetectType(), dtManual);
  EXPECT_EQ(Utf8(lang.fGetFontName(), 936), "宋体");
  EXPECT_EQ(lang.fGetFontSize(), 9);

  // Manual: detection no longer changes the type.
  lang.fSetDetectType(dtManual);
  EXPECT_EQ(lang.fGetLangType(), ltTraditional);
  // Back to automatic: the system language (Simplified) decides again.
  lang.fSetDetectType(dtAuto);
  EXPECT_EQ(lang.fGetLangType(), ltSimplified);

  lang.fSetCharset(0);
  EXPECT_EQ(lang.fGetLangType(), ltWestern);
  lang.fSetCharset(134);
  EXPECT_EQ(lang.fGetLangType(), ltSimplified);
}
