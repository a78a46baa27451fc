#include "Json.h"

#include <cstdio>

#include "NameText.h"

namespace Z500Ctl {

namespace {

std::string FileJson(const Z500::TDirectoryEntry& f, size_t number) {
  return "{\"number\": " + std::to_string(number) + ", \"name\": " + JsonString(PrintedName(f)) +
         ", \"name_hex\": \"" + Hex(f.Name) + "\", \"extension_hex\": \"" + Hex(f.Extension) +
         "\", \"size\": " + std::to_string(f.Size) + ", \"size_text\": \"" + Z500::SizeText(f.Size) +
         "\", \"created\": " + JsonString(Z500::CreatedText(f.Date, f.Time)) + ", \"created_iso\": " +
         (Z500::IsRealDate(f.Date, f.Time) ? JsonString(Z500::CreatedIsoText(f.Date, f.Time)) : "null") +
         ", \"date_raw\": " + std::to_string(f.Date) + ", \"time_raw\": " + std::to_string(f.Time) + "}";
}

// The command's own fields, each starting with ", ".
std::string ResultJson(const TResult& r) {
  std::string json;
  if (r.Parameters)
    json += ", \"interval\": " + std::to_string(r.Parameters->first) + ", \"cutoff\": " +
            std::to_string(r.Parameters->second);
  if (r.Files) {
    json += ", \"files\": [";
    for (size_t i = 0; i < r.Files->size(); ++i) json += (i ? ", " : "") + FileJson((*r.Files)[i], i + 1);
    json += "]";
  }
  if (!r.Deleted.empty()) {
    json += ", \"deleted\": [";
    for (size_t i = 0; i < r.Deleted.size(); ++i) json += (i ? ", " : "") + JsonString(EscapeBytes(r.Deleted[i]));
    json += "]";
  }
  if (!r.Done.empty()) json += ", \"done\": " + JsonString(r.Done);
  if (r.Upgraded) {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.3f", r.Upgraded->Seconds);
    json += ", \"upgraded\": {\"bytes\": " + std::to_string(r.Upgraded->Bytes) + ", \"seconds\": " + seconds + "}";
  }
  return json;
}

}  // namespace

std::string JsonString(std::string_view text) {
  std::string json = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') {
      json += '\\';
      json += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", static_cast<unsigned>(c));
      json += esc;
    } else {
      json += c;
    }
  }
  return json + "\"";
}

void PrintFilesJson(std::ostream& out, const std::vector<Z500::TDirectoryEntry>& files) {
  out << "[";
  for (size_t i = 0; i < files.size(); ++i) out << (i ? ",\n " : "\n ") << FileJson(files[i], i + 1);
  out << (files.empty() ? "]\n" : "\n]\n");
}

std::string PortJson(const std::string& port, const TOutcome& outcome) {
  return "{\"port\": " + JsonString(port) + ", \"device\": " + JsonString(DeviceOf(port)) +
         ", \"exit\": " + std::to_string(outcome.Code) +
         ", \"error\": " + (outcome.Error.empty() ? "null" : JsonString(outcome.Error)) + ResultJson(outcome.Result) +
         "}";
}

void PrintJsonArray(std::ostream& out, const std::vector<std::string>& objects) {
  out << "[";
  for (size_t i = 0; i < objects.size(); ++i) out << (i ? ",\n " : "\n ") << objects[i];
  out << (objects.empty() ? "]\n" : "\n]\n");
}

}  // namespace Z500Ctl
