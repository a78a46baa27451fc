// Error messages in the three languages, chosen by the application language,
// kept in their code page and given by what() in the locale's.
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "AppLang.h"
#include "Charset.h"
#include "EComm32Error.h"

using namespace QuarlComm32;
using namespace TQuarlFuncs;

namespace {

class ErrorLanguage : public ::testing::Test {
protected:
  void TearDown() override { AppLang = saved; }

  static std::string Decode(const EComm32Error& e, const char* charset) {
    std::string out;
    EXPECT_TRUE(RecodeExact(e.Message().c_str(), charset, "UTF-8", out)) << charset;
    return out;
  }

  TAppLang saved = AppLang;
};

}  // namespace

TEST_F(ErrorLanguage, EnglishForWesternSystems) {
  AppLang.fSetLangType(ltWestern);
  EComm32Error e(ecOpenPort);
  EXPECT_EQ(e.ErrorCode, ecOpenPort);
  EXPECT_STREQ(e.Message().c_str(), "Cannot open COM port");
  EXPECT_STREQ(EComm32Error(200).Message().c_str(), "Unknown error");
  EXPECT_STREQ(EComm32Error(0).Message().c_str(), "Unknown error");  // 0 ends the table, it is no row
  EXPECT_STREQ(EComm32Error(ecCloseWriteThread).Message().c_str(), "Cannot close COM port write thread");
}

TEST_F(ErrorLanguage, SimplifiedChineseInGbk) {
  AppLang.fSetLangType(ltSimplified);
  EXPECT_EQ(Decode(EComm32Error(ecOpenPort), "GBK"), "不能打开端口");
  EXPECT_EQ(Decode(EComm32Error(99), "GBK"), "未知错误");
  EXPECT_EQ(Decode(EComm32Error(ecOutOfMemory), "GBK"), "内存不够");
  EXPECT_EQ(EComm32Error(ecOpenPort).MessageUtf8(), "不能打开端口");
}

TEST_F(ErrorLanguage, TraditionalChineseInBig5) {
  AppLang.fSetLangType(ltTraditional);
  EXPECT_EQ(Decode(EComm32Error(ecOpenPort), "BIG5"), "不能打開埠");
  EXPECT_EQ(Decode(EComm32Error(99), "BIG5"), "未知錯誤");
  EXPECT_EQ(Decode(EComm32Error(ecOutOfMemory), "BIG5"), "記憶體不夠");
  EXPECT_EQ(Decode(EComm32Error(ecCloseReadThread), "BIG5"), "不能關閉埠讀執行緒");
  EXPECT_EQ(EComm32Error(ecReadEvent).MessageUtf8(), "不能創建埠非同步讀事件");

  // With the conversion off the Traditional texts stay in GBK.
  AppLang.fSetCvtBig5(false);
  EXPECT_EQ(Decode(EComm32Error(ecOpenPort), "GBK"), "不能打開埠");
  EXPECT_EQ(EComm32Error(ecOpenPort).MessageUtf8(), "不能打開埠");
}

// A terminal or a log shows what() as it is: in the locale's character set,
// whatever code page the message was built in.
TEST_F(ErrorLanguage, WhatGivesTheMessageInTheLocalesCharacterSet) {
  struct Case {
    const char* locale;  // LC_ALL; nullptr: none of the locale variables set
    TLangType lang;
    const char* charset;  // of what()
    const char* text;     // UTF-8
  } const cases[] = {
      {"zh_CN.UTF-8", ltSimplified, "UTF-8", "不能打开端口"},
      {"zh_TW.UTF-8", ltTraditional, "UTF-8", "不能打開埠"},
      {"zh_CN.GBK", ltSimplified, "GBK", "不能打开端口"},
      {"zh_TW.BIG5", ltTraditional, "BIG5", "不能打開埠"},
      {"en_US.UTF-8@euro", ltSimplified, "UTF-8", "不能打开端口"},
      {"zh_CN", ltSimplified, "UTF-8", "不能打开端口"},
      {nullptr, ltSimplified, "UTF-8", "不能打开端口"},
      {"C.UTF-8", ltWestern, "UTF-8", "Cannot open COM port"},
  };
  std::optional<std::string> saved[3];
  const char* vars[] = {"LC_ALL", "LC_MESSAGES", "LANG"};
  for (int i = 0; i < 3; ++i)
    if (const char* v = std::getenv(vars[i])) saved[i] = v;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.locale ? c.locale : "no locale");
    for (const char* var : vars) ::unsetenv(var);
    if (c.locale != nullptr) ::setenv("LC_ALL", c.locale, 1);
    AppLang.fSetLangType(c.lang);
    std::string decoded;
    EXPECT_TRUE(RecodeExact(EComm32Error(ecOpenPort).what(), c.charset, "UTF-8", decoded));
    EXPECT_EQ(decoded, c.text);
  }
  for (int i = 0; i < 3; ++i) {
    if (saved[i]) ::setenv(vars[i], saved[i]->c_str(), 1);
    else ::unsetenv(vars[i]);
  }
}
