// TQuarlString: a narrow, zero-terminated string whose bytes are in the code
// page of its locale (the shared _SysLocale unless it is given its own).
#pragma once

#include <string>
#include <string_view>

#include "StringLocale.h"

namespace TQuarlFuncs {

class TQuarlString {
public:
  TQuarlString();
  TQuarlString(const char* text);                 // NOLINT: implicit like the narrow string types
  TQuarlString(const char* text, int length);     // bytes, need not be terminated
  TQuarlString(const wchar_t* text);              // converted to the locale's code page
  TQuarlString(const std::string& text);
  TQuarlString(const std::wstring& text);
  TQuarlString(const TQuarlString& other);        // takes over the other's locale
  TQuarlString& operator=(const TQuarlString& other);
  TQuarlString& operator=(const char* text);
  virtual ~TQuarlString();

  void Assign(const char* text);                  // null clears
  void Assign(const char* text, int length);
  void Clear();
  // Null or &_SysLocale: back to the shared locale. Otherwise a private copy.
  void SetLocale(const TStringLocale* locale);
  const TStringLocale& Locale() const { return Locale_ != nullptr ? *Locale_ : _SysLocale; }
  bool HasPrivateLocale() const { return Locale_ != nullptr; }

  const char* c_str() const { return Buffer_; }
  int Length() const;
  int Capacity() const { return Capacity_; }
  bool IsEmpty() const { return Buffer_[0] == '\0'; }

  std::string ToString() const { return std::string(Buffer_); }   // the bytes
  std::wstring ToWString() const;                                  // decoded
  std::string ToUtf8() const;                                      // decoded
  operator std::string() const { return ToString(); }

  friend bool operator==(const TQuarlString& a, const TQuarlString& b) {
    return std::string_view(a.Buffer_) == std::string_view(b.Buffer_);
  }

protected:
  // Makes the buffer n bytes (at least 1); the old contents are not kept.
  virtual void AllocBuf(int n);

private:
  void AssignWide(std::wstring_view text);

  char* Buffer_ = nullptr;
  int Capacity_ = 0;
  TStringLocale* Locale_ = nullptr;  // owned; nullptr means _SysLocale
};

}  // namespace TQuarlFuncs
