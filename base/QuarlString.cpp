#include "QuarlString.h"

#include <cstring>

#include "Charset.h"

namespace TQuarlFuncs {

TQuarlString::TQuarlString() { Clear(); }

TQuarlString::TQuarlString(const char* text) { Assign(text); }

TQuarlString::TQuarlString(const char* text, int length) { Assign(text, length); }

TQuarlString::TQuarlString(const wchar_t* text) {
  if (text == nullptr)
    Clear();
  else
    AssignWide(text);
}

TQuarlString::TQuarlString(const std::string& text) {
  Assign(text.data(), static_cast<int>(text.size()));
}

TQuarlString::TQuarlString(const std::wstring& text) { AssignWide(text); }

TQuarlString::TQuarlString(const TQuarlString& other) {
  SetLocale(other.Locale_);
  Assign(other.Buffer_);
}

TQuarlString& TQuarlString::operator=(const TQuarlString& other) {
  if (this != &other) {
    SetLocale(other.Locale_);
    Assign(other.Buffer_);
  }
  return *this;
}

TQuarlString& TQuarlString::operator=(const char* text) {
  Assign(text);
  return *this;
}

TQuarlString::~TQuarlString() {
  delete[] Buffer_;
  delete Locale_;
}

void TQuarlString::AllocBuf(int n) {
  if (n < 2) n = 1;
  if (n == Capacity_ && Buffer_ != nullptr) return;
  char* fresh = new char[static_cast<size_t>(n)];
  delete[] Buffer_;
  Buffer_ = fresh;
  Capacity_ = n;
  Buffer_[0] = '\0';
}

void TQuarlString::Assign(const char* text) {
  if (text == nullptr) {
    Clear();
    return;
  }
  Assign(text, static_cast<int>(std::strlen(text)));
}

void TQuarlString::Assign(const char* text, int length) {
  if (text == nullptr || length <= 0) {
    Clear();
    return;
  }
  // The source may lie inside our own buffer, which AllocBuf replaces.
  std::string copy(text, static_cast<size_t>(length));
  AllocBuf(length + 1);
  std::memcpy(Buffer_, copy.data(), copy.size());
  Buffer_[length] = '\0';
}

void TQuarlString::Clear() {
  AllocBuf(1);
  Buffer_[0] = '\0';
}

void TQuarlString::SetLocale(const TStringLocale* locale) {
  if (locale == nullptr || locale == &_SysLocale) {
    delete Locale_;
    Locale_ = nullptr;
  } else if (locale != Locale_) {
    if (Locale_ != nullptr)
      Locale_->InitLCID(locale->LCID);
    else
      Locale_ = new TStringLocale(*locale);
  }
}

int TQuarlString::Length() const { return static_cast<int>(std::strlen(Buffer_)); }

std::wstring TQuarlString::ToWString() const { return CodePageToWide(Buffer_, Locale().CodePage); }

std::string TQuarlString::ToUtf8() const { return CodePageToUtf8(Buffer_, Locale().CodePage); }

void TQuarlString::AssignWide(std::wstring_view text) {
  std::string bytes = WideToCodePage(text, Locale().CodePage);
  Assign(bytes.data(), static_cast<int>(bytes.size()));
}

}  // namespace TQuarlFuncs
