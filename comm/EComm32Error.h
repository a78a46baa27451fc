// EComm32Error: the serial layer's exception. Its message is chosen by the
// application language from three fixed tables (Simplified Chinese,
// Traditional Chinese, English). The message is kept as built (GBK, Big5 or
// ASCII bytes, Message()); what() gives it in the locale's character set.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "QuarlString.h"

namespace QuarlComm32 {

using TErrorCode = uint8_t;

enum : TErrorCode {
  ecOutOfMemory = 1,
  ecReadBuffer = 2,
  ecWriteBuffer = 3,
  ecOpenPort = 4,
  ecCommMask = 5,
  ecBufferSize = 6,
  ecGetParams = 7,
  ecSetParams = 8,
  ecReadEvent = 9,
  ecWriteEvent = 10,
  ecReadThread = 11,
  ecWriteThread = 12,
  ecCloseReadThread = 13,
  ecCloseWriteThread = 14,
};

class EComm32Error : public std::runtime_error {
public:
  // osError: the operating system's error number of the failed step, 0 when
  // there is none. It is kept for callers that want to explain the failure;
  // the message stays the table's text.
  // holderPid, holderName: for a port another program holds (EBUSY), that
  // program where it could be found; 0 and empty otherwise.
  explicit EComm32Error(TErrorCode code, int osError = 0, int holderPid = 0, std::string holderName = {});

  TErrorCode ErrorCode;
  int OsError;
  int HolderPid;
  std::string HolderName;

  // The message as built: GBK, Big5 or ASCII bytes.
  const TQuarlFuncs::TQuarlString& Message() const { return MessageText; }
  // The message in the character set the locale (LC_ALL, LC_MESSAGES or
  // LANG) names, UTF-8 when it names none: what a terminal or a log shows.
  const char* what() const noexcept override { return LocaleText.c_str(); }
  // The message decoded from the code page it was built in.
  std::string MessageUtf8() const;

private:
  TQuarlFuncs::TQuarlString MessageText;
  std::string LocaleText;
  uint32_t CodePage;  // 936 (GBK), 950 (Big5) or 1252 (English)
};

}  // namespace QuarlComm32
