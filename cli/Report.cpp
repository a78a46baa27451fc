#include "Report.h"

#include <cstdio>

#include "NameText.h"

namespace Z500Ctl {

namespace {

void PrintFiles(const std::vector<Z500::TDirectoryEntry>& files, std::ostream& out) {
  for (size_t i = 0; i < files.size(); ++i) {
    const auto& f = files[i];
    char size[16];
    std::snprintf(size, sizeof size, "%6s", Z500::SizeText(f.Size).c_str());
    char number[24];
    std::snprintf(number, sizeof number, "%3zu", i + 1);
    out << number << "  " << PrintedName(f) << "  " << size << "  " << Z500::CreatedText(f.Date, f.Time) << "\n";
  }
}

}  // namespace

void PrintResult(const TResult& result, std::ostream& out, std::ostream& err, const std::string& errLead) {
  if (result.Parameters)
    out << "interval " << int(result.Parameters->first) << "\ncutoff " << int(result.Parameters->second) << "\n";
  if (result.Files) {
    if (result.Files->empty()) err << errLead << "no files on the receiver\n";
    PrintFiles(*result.Files, out);
  }
  for (const auto& name : result.Deleted) out << "deleted " << EscapeBytes(name) << "\n";
  if (!result.Done.empty()) out << result.Done << "\n";
  if (result.Upgraded) {
    const double seconds = result.Upgraded->Seconds;
    const int32_t size = result.Upgraded->Bytes;
    char line[160];
    std::snprintf(line, sizeof line, "upgraded %d bytes in %.1f s (%.0f B/s); restart the receiver for the new firmware",
                  size, seconds, seconds > 0 ? size / seconds : 0.0);
    out << line << "\n";
  }
}

std::string ProgressBar(int32_t done, int32_t total) {
  constexpr int width = 30;
  const int filled = total > 0 ? static_cast<int>(int64_t{done} * width / total) : 0;
  return "[" + std::string(filled, '#') + std::string(width - filled, '-') + "] " +
         std::to_string(total > 0 ? int64_t{done} * 100 / total : 0) + "%";
}

void TBarProgress::Calling() { Err << "z500ctl: calling the receiver: switch it on now\n"; }

void TBarProgress::Sent(int32_t done, int32_t total) {
  Err << "\r" << ProgressBar(done, total) << " " << done << "/" << total << " B" << std::flush;
  Drawn = true;
}

void TBarProgress::Ended() {
  if (Drawn) Err << "\n";
  Drawn = false;
}

void TBoardProgress::Calling() { Console.SetBoardLine(Index, Port + ": calling the receiver"); }

// The board's line changes with the percentage only, so that it is redrawn
// at most a hundred times per receiver.
void TBoardProgress::Sent(int32_t done, int32_t total) {
  Console.SetBoardLine(Index, Port + ": " + ProgressBar(done, total) + " of " + std::to_string(total) + " B");
}

}  // namespace Z500Ctl
