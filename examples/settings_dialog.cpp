// Places one comm device in a small window, lets the user choose its port and
// line settings in the component's settings dialog, and shows what the port
// receives (printable bytes as they are, others in hex).
//   settings_dialog [COMn, default COM1]
#include <QApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>

#include "PortMap.h"
#include "VellCommDevice.h"

using namespace QuarlComm32;

namespace {

// Printable bytes as they are, others as <hex>.
QString Printable(const unsigned char* bytes, long n) {
  QString text;
  for (long i = 0; i < n; ++i) {
    const unsigned char b = bytes[i];
    text += (b >= 0x20 && b < 0x7F) || b == '\n' ? QString(QChar(b)) : QStringLiteral("<%1>").arg(b, 2, 16, QChar('0'));
  }
  return text;
}

// The window: a status line, what the port received, and a settings button.
struct TExampleWindow {
  QWidget window;
  QLabel* status = new QLabel(&window);
  QPlainTextEdit* received = new QPlainTextEdit(&window);
  QPushButton* settings = new QPushButton(QStringLiteral("Port settings..."), &window);

  TExampleWindow() {
    window.setWindowTitle(QStringLiteral("settings_dialog"));
    auto* layout = new QVBoxLayout(&window);
    received->setReadOnly(true);
    layout->addWidget(status);
    layout->addWidget(received);
    layout->addWidget(settings);
    window.resize(560, 320);
  }
};

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  TVellCommDevice dev;
  dev.fSetPortNo(argc > 1 ? ComNumberOf(argv[1]) : 1);
  dev.fSetBaud(TVellCommDevice::br19200);
  TExampleWindow w;

  auto showStatus = [&] {
    w.status->setText(QStringLiteral("COM%1, %2 baud: %3")
                          .arg(dev.fGetPortNo())
                          .arg(TVellCommDevice::BaudRates[dev.fGetBaud()])
                          .arg(dev.fGetActive() ? QStringLiteral("open") : QStringLiteral("closed")));
  };
  // The dialog opens the port on OK (its open flag), or leaves everything as
  // it was when the port cannot be opened.
  auto chooseSettings = [&] {
    dev.SettingsDialog(&w.window, true);
    showStatus();
  };
  QObject::connect(w.settings, &QPushButton::clicked, chooseSettings);

  dev.OnCommNotify = [&](QObject*, int notifyType) {
    if (!(notifyType & EV_RXCHAR)) return;
    unsigned char buf[1024];
    QString text;
    for (long n; (n = dev.Read(buf, sizeof buf)) > 0;) text += Printable(buf, n);
    w.received->moveCursor(QTextCursor::End);
    w.received->insertPlainText(text);
  };

  showStatus();
  w.window.show();
  QTimer::singleShot(0, &w.window, chooseSettings);
  return app.exec();
}
