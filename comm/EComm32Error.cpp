#include "EComm32Error.h"

#include <array>
#include <cstring>
#include <utility>
#include <vector>

#include "AppLang.h"
#include "Charset.h"
#include "PlatformLocale.h"

namespace QuarlComm32 {
namespace {

struct TErrorRow {
  TErrorCode Code;
  const char* Text;  // UTF-8 in the source; nullptr ends a table
};

// Each table ends with an empty row; the text beside it is the table's default.
constexpr TErrorRow kSimplified[] = {
    {ecOutOfMemory, "内存不够"},
    {ecReadBuffer, "不能初始化读缓存"},
    {ecWriteBuffer, "不能初始化写缓存"},
    {ecOpenPort, "不能打开端口"},
    {ecCommMask, "不能设置端口事件MASK"},
    {ecBufferSize, "不能设置端口缓存"},
    {ecGetParams, "不能得到端口参数"},
    {ecSetParams, "不能设置端口参数"},
    {ecReadEvent, "不能创建端口异步读事件"},
    {ecWriteEvent, "不能创建端口异步写事件"},
    {ecReadThread, "不能创建端口读线程"},
    {ecWriteThread, "不能创建端口写线程"},
    {ecCloseReadThread, "不能关闭端口读线程"},
    {ecCloseWriteThread, "不能关闭端口写线程"},
    {0, nullptr},
};
constexpr const char* kSimplifiedDefault = "未知错误";

constexpr TErrorRow kTraditional[] = {
    {ecOutOfMemory, "記憶體不夠"},
    {ecReadBuffer, "不能初始化讀緩存"},
    {ecWriteBuffer, "不能初始化寫緩存"},
    {ecOpenPort, "不能打開埠"},
    {ecCommMask, "不能設置埠事件MASK"},
    {ecBufferSize, "不能設置埠緩存"},
    {ecGetParams, "不能得到埠參數"},
    {ecSetParams, "不能設置埠參數"},
    {ecReadEvent, "不能創建埠非同步讀事件"},
    {ecWriteEvent, "不能創建埠非同步寫事件"},
    {ecReadThread, "不能創建埠讀執行緒"},
    {ecWriteThread, "不能創建埠寫執行緒"},
    {ecCloseReadThread, "不能關閉埠讀執行緒"},
    {ecCloseWriteThread, "不能關閉埠寫執行緒"},
    {0, nullptr},
};
constexpr const char* kTraditionalDefault = "未知錯誤";

constexpr TErrorRow kEnglish[] = {
    {ecOutOfMemory, "Out of memory"},
    {ecReadBuffer, "Cannot initialize read buffer"},
    {ecWriteBuffer, "Cannot initialize write buffer"},
    {ecOpenPort, "Cannot open COM port"},
    {ecCommMask, "Cannot set comm-mask"},
    {ecBufferSize, "Cannot set COM port buffer size"},
    {ecGetParams, "Cannot read COM port parameters"},
    {ecSetParams, "Cannot set COM port parameters"},
    {ecReadEvent, "Cannot create COM port asynchronize read event"},
    {ecWriteEvent, "Cannot create COM port asynchronize write event"},
    {ecReadThread, "Cannot create COM port read thread"},
    {ecWriteThread, "Cannot create COM port write thread"},
    {ecCloseReadThread, "Cannot close COM port read thread"},
    {ecCloseWriteThread, "Cannot close COM port write thread"},
    {0, nullptr},
};
constexpr const char* kEnglishDefault = "Unknown error";

// One message table as the program holds it at run time: GBK bytes.
struct TMessageTable {
  std::vector<std::pair<TErrorCode, std::string>> Rows;
  std::string Default;

  TMessageTable(const TErrorRow* rows, const char* defaultText) {
    for (const TErrorRow* r = rows; r->Text != nullptr; ++r)
      Rows.emplace_back(r->Code, TQuarlFuncs::Utf8ToCodePage(r->Text, 936));
    Default = TQuarlFuncs::Utf8ToCodePage(defaultText, 936);
  }

  const std::string& Find(TErrorCode code) const {
    for (const auto& [c, text] : Rows)
      if (c == code) return text;
    return Default;
  }
};

// Converted once, on first use, from whichever thread builds the first error.
const std::array<TMessageTable, 3>& Tables() {
  static const std::array<TMessageTable, 3> tables{
      TMessageTable(kSimplified, kSimplifiedDefault),
      TMessageTable(kTraditional, kTraditionalDefault),
      TMessageTable(kEnglish, kEnglishDefault),
  };
  return tables;
}

// The character set the locale's name gives ("zh_CN.GBK": GBK), or UTF-8.
std::string LocaleCharset() {
  const char* name = TQuarlFuncs::ProcessLocaleName();
  const char* dot = name != nullptr ? std::strchr(name, '.') : nullptr;
  if (dot == nullptr) return "UTF-8";
  std::string charset(dot + 1, std::strcspn(dot + 1, "@"));
  return charset.empty() ? "UTF-8" : charset;
}

// UTF-8 text in the locale's character set; characters it lacks become '?',
// and a set iconv does not know leaves the text in UTF-8.
std::string InLocaleCharset(const std::string& utf8) {
  std::string out;
  if (!TQuarlFuncs::Recode(utf8, "UTF-8", LocaleCharset().c_str(), "?", out)) return utf8;
  return out;
}

}  // namespace

EComm32Error::EComm32Error(TErrorCode code, int osError, int holderPid, std::string holderName)
    : std::runtime_error("EComm32Error"),
      ErrorCode(code),
      OsError(osError),
      HolderPid(holderPid),
      HolderName(std::move(holderName)),
      CodePage(1252) {
  using TQuarlFuncs::AppLang;
  const TQuarlFuncs::TLangType lang = AppLang.fGetLangType();
  const int table = lang == TQuarlFuncs::ltSimplified ? 0 : lang == TQuarlFuncs::ltTraditional ? 1 : 2;
  if (table != 2) CodePage = (table == 1 && AppLang.fGetCvtBig5()) ? 950 : 936;
  MessageText = AppLang.FromGBK(TQuarlFuncs::TQuarlString(Tables()[table].Find(code)));
  LocaleText = InLocaleCharset(MessageUtf8());
}

std::string EComm32Error::MessageUtf8() const {
  return TQuarlFuncs::CodePageToUtf8(MessageText.ToString(), CodePage);
}

}  // namespace QuarlComm32
