// Error messages in the three languages, chosen by the application language.
#include <gtest/gtest.h>

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
    EXPECT_TRUE(RecodeExact(e.what(), charset, "UTF-8", out)) << charset;
    return out;
  }

  TAppLang saved = AppLang;
};

}  // namespace

TEST_F(ErrorLanguage, EnglishForWesternSystems) {
  AppLang.fSetLangType(ltWestern);
  EComm32Error e(ecOpenPort);
  EXPECT_EQ(e.ErrorCode, ecOpenPort);
  EXPECT_STREQ(e.what(), "Cannot open COM port");
  EXPECT_STREQ(EComm32Error(200).what(), "Unknown error");
  EXPECT_STREQ(EComm32Error(0).what(), "Unknown error");  // 0 ends the table, it is no row
  EXPECT_STREQ(EComm32Error(ecCloseWriteThread).what(), "Cannot close COM port write thread");
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

TEST_F(ErrorLanguage, CaughtAsAStandardException) {
  AppLang.fSetLangType(ltWestern);
  try {
    throw EComm32Error(ecSetParams);
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "Cannot set COM port parameters");
  }
}
