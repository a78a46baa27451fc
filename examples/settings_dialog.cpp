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

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  TVellCommDevice dev;
  dev.fSetPortNo(argc > 1 ? ComNumberOf(argv[1]) : 1);
  dev.fSetBaud(TVellCommDevice::br19200);

  QWidget window;
  window.setWindowTitle(QStringLiteral("settings_dialog"));
  auto* layout = new QVBoxLayout(&window);
  auto* status = new QLabel(&window);
  auto* received = new QPlainTextEdit(&window);
  received->setReadOnly(true);
  auto* settings = new QPushButton(QStringLiteral("Port settings..."), &window);
  layout->addWidget(status);
  layout->addWidget(received);
  layout->addWidget(settings);
  window.resize(560, 320);

  auto showStatus = [&] {
    status->setText(QStringLiteral("COM%1, %2 baud: %3")
                        .arg(dev.fGetPortNo())
                        .arg(TVellCommDevice::BaudRates[dev.fGetBaud()])
                        .arg(dev.fGetActive() ? QStringLiteral("open") : QStringLiteral("closed")));
  };
  // The dialog opens the port on OK (its open flag), or leaves everything as
  // it was when the port cannot be opened.
  auto chooseSettings = [&] {
    dev.SettingsDialog(&window, true);
    showStatus();
  };
  QObject::connect(settings, &QPushButton::clicked, chooseSettings);

  dev.OnCommNotify = [&](QObject*, int notifyType) {
    if (!(notifyType & EV_RXCHAR)) return;
    unsigned char buf[1024];
    QString text;
    for (long n; (n = dev.Read(buf, sizeof buf)) > 0;) {
      for (long i = 0; i < n; ++i) {
        const unsigned char b = buf[i];
        text += (b >= 0x20 && b < 0x7F) || b == '\n' ? QString(QChar(b)) : QStringLiteral("<%1>").arg(b, 2, 16, QChar('0'));
      }
    }
    received->moveCursor(QTextCursor::End);
    received->insertPlainText(text);
  };

  showStatus();
  window.show();
  QTimer::singleShot(0, &window, chooseSettings);
  return app.exec();
}
