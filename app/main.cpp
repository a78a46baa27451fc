// Start-up: the program's own options, read before anything needs a display
// (--help and --version work without one), then the application with its
// title, the main window, the message loop. An error that escapes them is
// shown in the error box. A signal that asks the program to quit closes the
// window, and with it the link; the program then ends with 128 + the
// signal's number, as shells expect.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "Application.h"
#include "MainWindow.h"
#include "QuitSignals.h"

namespace {

const char Usage[] =
    "Usage: z500-manager [--trace FILE]\n"
    "Opens the window of the Varnex Z500 receiver manager: the serial link, the\n"
    "receiver's static recording parameters and files, and the firmware upgrade.\n"
    "\n"
    "Options:\n"
    "  --trace FILE  write every frame sent to and received from the receiver to\n"
    "                FILE, with the time and what each frame is: a line trace for\n"
    "                support\n"
    "  --help        print this help and exit\n"
    "  --version     print the version and exit\n"
    "\n"
    "Qt's own options (-platform, -style, ...) are passed on to Qt.\n";

struct TOptions {
  bool Help = false;
  bool Version = false;
  const char* Error = nullptr;  // the option that lacks its value
  std::string Trace;
  std::vector<char*> Rest;  // argv without the program's own options, for Qt
};

// Takes out the program's own options; everything else is Qt's.
TOptions ReadOptions(int argc, char** argv) {
  TOptions options;
  for (int i = 0; i < argc; ++i) {
    const char* a = argv[i];
    if (i > 0 && (!std::strcmp(a, "--help") || !std::strcmp(a, "-h"))) {
      options.Help = true;
    } else if (i > 0 && !std::strcmp(a, "--version")) {
      options.Version = true;
    } else if (i > 0 && !std::strncmp(a, "--trace=", 8)) {
      options.Trace = a + 8;
    } else if (i > 0 && !std::strcmp(a, "--trace")) {
      if (i + 1 == argc) options.Error = a;
      else options.Trace = argv[++i];
    } else {
      options.Rest.push_back(argv[i]);
    }
  }
  options.Rest.push_back(nullptr);
  return options;
}

}  // namespace

int main(int argc, char** argv) {
  TOptions options = ReadOptions(argc, argv);
  if (options.Help) return std::fputs(Usage, stdout) < 0 ? 1 : 0;
  if (options.Version) return std::printf("z500-manager %s\n", QUARL_VERSION) < 0 ? 1 : 0;
  if (options.Error) {
    std::fprintf(stderr, "z500-manager: %s needs a file name\n%s", options.Error, Usage);
    return 2;
  }
  int qtArgc = static_cast<int>(options.Rest.size()) - 1;
  Z500::TApplication app(qtArgc, options.Rest.data());
  int signal = 0;
  try {
    TForm1 form;
    if (!options.Trace.empty()) form.StartTrace(options.Trace);
    Z500::TQuitSignals quit([&](int number) {
      if (signal == 0) signal = number;
      Z500::QuitWindow(form);
    });
    form.show();
    app.exec();
  } catch (...) {
    app.ShowCurrentException();
  }
  return signal != 0 ? 128 + signal : 0;
}
