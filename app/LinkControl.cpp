// The serial link group: open and close the link, switch the receiver's sound
// on, and reset the receiver's serial port to its default. A device that goes
// away while the link is open (a pulled cable or adapter) closes the link, as
// does closing the window.
#include <QComboBox>
#include <QPushButton>

#include <QMetaObject>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <string>

#include "Application.h"
#include "EComm32Error.h"
#include "LinkSteps.h"
#include "MainWindow.h"

namespace {

const QString OpenCaption = QStringLiteral("打开串口");
const QString CloseCaption = QStringLiteral("关闭串口");
const QString LinkLostText = QStringLiteral("串口已断开，请检查连接后重新打开！");
const QString EchoText = QStringLiteral("串口回显了所发命令，未检测到接收机！");
const QString TraceFailedText = QStringLiteral("无法写入跟踪文件，通讯跟踪已停止！");

}  // namespace

void TForm1::Button1Click(QObject*) {
  if (Button1->text() == OpenCaption) {
    // The port follows the chosen item's position, never the typed text.
    const int index = ComboBox1->currentIndex();
    VellCommDevice1->fSetPortNo(index >= 1 && index <= 8 ? index + 1 : 1);
    try {
      VellCommDevice1->fSetActive(true);
    } catch (const std::exception& e) {
      QString text = QStringLiteral("打开串口时发生错误： ") + Z500::ExceptionText(e) +
                     QStringLiteral("\r\n可能该串口不存在或正在使用中！");
      // The system's reason, where the user can do something about it.
      if (const auto* comm = dynamic_cast<const QuarlComm32::EComm32Error*>(&e))
        if (const auto advice = Z500::OpenFailureAdvice(comm->OsError, comm->HolderPid, comm->HolderName).Window;
            !advice.empty())
          text += QStringLiteral("\r\n") + QString::fromStdString(advice);
      ShowMessage(text);
      return;
    }
    Button1->setText(CloseCaption);
    LineEchoes = false;
    _ForgetRequests();
    SetStatus(QStringLiteral("已打开串口") + QString::number(VellCommDevice1->fGetPortNo()), true);
    // Stop the receiver's periodic output, twice to be sure it is heard.
    Z500::QuietReceiver([this](const Z500::TFrame& frame) { Send(frame); }, *Clock);
  } else if (Button1->text() == CloseCaption) {
    VellCommDevice1->fSetActive(false);
    _ForgetRequests();
    Button1->setText(OpenCaption);
    SetStatus(QStringLiteral("已关闭串口!"));
  }
}

void TForm1::Button2Click(QObject*) {
  if (!VellCommDevice1->fGetActive()) {
    ShowMessage(QStringLiteral("串口未打开！"));
    return;
  }
  SetStatus(QStringLiteral("正在恢复仪器内部串口为默认，请稍候！"), true);
  switch (const Z500::TWaitEnd outcome = RawReplyWait(Z500::SerialResetCommand(), Z500::SerialResetHead,
                                                    Z500::SerialResetWaitMs)) {
    case Z500::TWaitEnd::Done:
      ShowMessage(QStringLiteral("已恢复仪器内部串口波特率为默认设置！"));
      break;
    case Z500::TWaitEnd::TimedOut:
    case Z500::TWaitEnd::EchoOnly:  // the status line tells of the echo
      if (outcome == Z500::TWaitEnd::TimedOut) SetStatus(QStringLiteral("恢复串口波特率失败，接收机无应答！"));
      ShowMessage(QStringLiteral("接收机无应答，恢复串口波特率未完成！"));
      break;
    case Z500::TWaitEnd::LineLost:  // whoever closed it has said why
      break;
  }
  VellCommDevice1->fSetUsePackage(true);
}

void TForm1::Button17Click(QObject*) {
  if (!VellCommDevice1->fGetActive()) {
    ShowMessage(QStringLiteral("串口未打开！"));
    return;
  }
  Send(Z500::SoundCommand());
  SetStatus(QStringLiteral("已打开声音输出！"));
}

void TForm1::_LinkNotify(int NotifyType) {
  // The engine reports a device that has gone once, as a line error. Other
  // line errors (received bytes lost to an overrun) leave the port usable, and
  // a report that comes after the link was closed, or opened again, concerns
  // a port that is no longer this one: the engine's mark on the open port decides.
  if ((NotifyType & QuarlComm32::EV_ERR) == 0) return;
  if (!VellCommDevice1->fGetActive() || !VellCommDevice1->fGetDeviceGone()) return;
  _LinkLost();
}

void TForm1::_LineEchoes() {
  LineEchoes = true;
  SetStatus(EchoText);
}

std::span<const uint8_t> TForm1::_WithoutEcho(std::span<const uint8_t> package) {
  if (Z500::EchoesUnlog(package)) {
    _LineEchoes();
    return {};
  }
  const bool echoed = LineEchoes && !LastSent.empty() && package.size() >= LastSent.size() &&
                      std::equal(LastSent.begin(), LastSent.end(), package.begin());
  return echoed ? package.subspan(LastSent.size()) : package;
}

void TForm1::_LinkLost() {
  _DropLink();
  SetStatus(LinkLostText);
}

void TForm1::_DropLink() {
  // An upgrade cannot go on without the link: it ends unfinished, without a
  // word of success, and the buttons come back.
  if (Upgrading) {
    _EndUpgrade();
    UpgradeAborted = true;
  }
  UnlockButtons();
  _ForgetRequests();
  // A raw reply wait under way sees the link closed and ends at its next look.
  try {
    VellCommDevice1->fSetActive(false);
  } catch (const std::exception&) {
    // A thread that would not stop in time: the engine joins it later itself.
  }
  Button1->setText(OpenCaption);
}

void TForm1::StartTrace(const std::string& path) {
  // The report comes from the trace's own thread: stderr at once, the
  // status line through the window's event loop. The window outlives the
  // trace (its destructor ends the trace first), so the call always lands.
  Trace = std::make_unique<Z500::TLineTrace>(path, [this](const std::string& why) {
    std::fprintf(stderr, "z500-manager: %s\n", why.c_str());
    QMetaObject::invokeMethod(this, "_ShowTraceFailed", Qt::QueuedConnection);
  });
}

void TForm1::_ShowTraceFailed() { SetStatus(TraceFailedText); }

void TForm1::_Trace(Z500::TTraceDirection direction, Z500::TTraceKind kind, std::span<const uint8_t> bytes) {
  if (Trace && !bytes.empty())
    Trace->Record("COM" + std::to_string(VellCommDevice1->fGetPortNo()), direction, kind, bytes);
}
