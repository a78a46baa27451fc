// Renders the main window without a screen into a PNG:
//   window_shot docs/main-window.png            as it looks at start
//   window_shot --files 20 docs/main-window.png  after listing 20 files
// The port list is fixed (COM1 and COM3) so that the picture does not depend
// on the machine it was made on. With --files, a simulated receiver holding
// that many files is COM1: the link is opened and the directory listed.
#include <QElapsedTimer>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

#include "Application.h"
#include "MainWindow.h"
#include "Simulator.h"

namespace {

// Runs the event loop until `done` holds, for at most `ms`.
template <class F>
bool Await(F done, int ms) {
  QElapsedTimer t;
  t.start();
  while (!done() && t.elapsed() < ms) {
    QCoreApplication::processEvents();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return done();
}

}  // namespace

int main(int argc, char** argv) {
  int files = -1;
  const char* output = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--files") == 0 && i + 1 < argc) files = std::atoi(argv[++i]);
    else if (!output) output = argv[i];
    else output = nullptr, i = argc;
  }
  if (!output || files < -1) {
    std::fprintf(stderr, "usage: %s [--files N] OUTPUT.png\n", argv[0]);
    return 2;
  }
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  Z500::TApplication app(argc, argv);

  std::unique_ptr<z500sim::Simulator> sim;
  std::string com1 = "/dev/ttyUSB0";
  if (files >= 0) {
    z500sim::Options options;
    options.files = static_cast<uint32_t>(files);
    options.unlogged = true;
    z500sim::Pty pty = z500sim::OpenPty();
    com1 = pty.slavePath;
    sim = std::make_unique<z500sim::Simulator>(std::move(pty.master), options);
    sim->Start();
  }
  TForm1::TServices services;
  services.PortMap = std::make_shared<QuarlComm32::TFixedPortMap>(
      std::vector<QuarlComm32::TPortEntry>{{1, com1}, {3, "/dev/ttyS2"}});
  TForm1 form(services);
  form.show();
  QCoreApplication::processEvents();
  if (sim) {
    form.Button1->click();
    form.Button7->click();
    const bool listed = Await(
        [&] { return form.FileCount == files && !form.Label1->text().startsWith(QStringLiteral("已打开")); }, 20000);
    Await([] { return false; }, 300);  // the last, empty page
    if (!listed) {
      std::fprintf(stderr, "window_shot: the directory was not listed\n");
      return 1;
    }
  }
  const bool saved = form.grab().save(QString::fromLocal8Bit(output), "PNG");
  if (sim) sim->Stop();
  if (!saved) {
    std::fprintf(stderr, "window_shot: cannot write %s\n", output);
    return 1;
  }
  return 0;
}
