// The firmware upgrade group: choose the file, call the receiver every 500 ms
// until it answers with its hardware version, then send the file block by
// block, each one only after the receiver has answered the one before. Any
// failure ends the upgrade at once (timer off, file closed, no longer
// upgrading), so that the other features work again straight away.
#include <unistd.h>

#include <QFile>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include "FirmwareBlocks.h"
#include "MainWindow.h"
#include "ReceiverSession.h"

namespace {

const QString FailureStatus = QStringLiteral("升级过程中发生错误，请关闭接收机后重新升级！");
const QString VersionMismatch = QStringLiteral("接收机硬件版本不匹配，无法升级！");

// How often the transfer looks whether the awaited block answer is overdue.
constexpr int WatchPeriodMs = 100;

QString VerdictText(Z500::TBlockVerdict verdict) {
  switch (verdict) {
    case Z500::TBlockVerdict::bvWrongAddress: return QStringLiteral("下载地址错误！");
    case Z500::TBlockVerdict::bvError1: return QStringLiteral("发生错误1！");
    case Z500::TBlockVerdict::bvError2: return QStringLiteral("发生错误2！");
    default: return QStringLiteral("发生错误！");
  }
}

QString FirmwareFaultText(Z500::TFirmwareFault fault) {
  switch (fault) {
    case Z500::TFirmwareFault::Empty: return QStringLiteral("升级文件为空，无法升级！");
    case Z500::TFirmwareFault::TooLarge: return QStringLiteral("升级文件过大，无法升级！");
    default: return QStringLiteral("未能打开升级文件！");
  }
}

// The firmware file as the window reads it: through an unbuffered QFile on
// the descriptor the session's opener checked, so that each block is read
// from the file when it is due, no earlier. nullptr when QFile refuses it.
std::unique_ptr<QFile> AsQFile(const QString& path, Quarl::TRegularFile checked) {
  auto file = std::make_unique<QFile>(path);
  const int fd = checked.Release();
  if (!file->open(fd, QIODevice::ReadOnly | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle)) {
    ::close(fd);
    return nullptr;
  }
  return file;
}

// Reads `len` bytes, fewer only at the end of the file; -1 when reading fails.
long ReadFully(QFile& file, uint8_t* buf, size_t len) {
  size_t got = 0;
  while (got < len) {
    const qint64 n = file.read(reinterpret_cast<char*>(buf + got), static_cast<qint64>(len - got));
    if (n < 0) return -1;
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  return static_cast<long>(got);
}

}  // namespace

void TForm1::_SetUpUpgrade() {
  connect(Button3, &QPushButton::clicked, this, [this] { Button3Click(Button3); });
  connect(Button4, &QPushButton::clicked, this, [this] { Button4Click(Button4); });
  connect(Timer2, &QTimer::timeout, this, [this] { Timer2Timer(Timer2); });
  UpgradeWatch = new QTimer(this);
  UpgradeWatch->setObjectName(QStringLiteral("UpgradeWatch"));
  UpgradeWatch->setInterval(WatchPeriodMs);
  connect(UpgradeWatch, &QTimer::timeout, this, [this] { _UpgradeWatchTick(); });
  Routes.HandshakeAnswer = [this](uint8_t version) { _UpgradeHandshakeAnswer(version); };
  Routes.BlockAnswer = [this](uint8_t result, std::optional<uint32_t> address) {
    _UpgradeBlockAnswer(result, address);
  };
}

void TForm1::Button3Click(QObject*) {
  if (!OpenDialog1.Execute(this)) return;
  Edit1->setText(OpenDialog1.FileName);
  SetStatus(QStringLiteral("升级前请关闭接收机电源！"));
}

void TForm1::Button4Click(QObject*) {
  if (!VellCommDevice1->fGetActive()) {
    ShowMessage(QStringLiteral("未打开通讯串口！"));
    return;
  }
  std::unique_ptr<QFile> file = _OpenFirmware(Edit1->text());
  if (!file) return;
  FirmwareFile = std::move(file);  // closes a file an earlier upgrade left open
  ShowMessage(QStringLiteral("请确认接收机电源已经关闭！"));
  // The box ran an event loop of its own: the link may have gone meanwhile,
  // and an upgrade started now could never end.
  if (!VellCommDevice1->fGetActive()) {
    FirmwareFile.reset();
    return;
  }
  _StartUpgrade();
}

std::unique_ptr<QFile> TForm1::_OpenFirmware(const QString& path) {
  const std::optional<int> version = Z500::HardwareVersionFromPath(path.toStdString());
  if (!version) {
    ShowMessage(QStringLiteral("文件路径有误或者升级文件不是rxf文件！"));
    return nullptr;
  }
  // A number no receiver can answer with: the file fits no receiver.
  if (!Z500::IsHardwareVersion(*version)) {
    ShowMessage(VersionMismatch);
    return nullptr;
  }
  HardwareVersion = static_cast<uint8_t>(*version);
  Z500::TFirmwareFile firmware = Z500::OpenFirmwareFile(QFile::encodeName(path).toStdString());
  std::unique_ptr<QFile> file;
  if (firmware.Fault == Z500::TFirmwareFault::None) file = AsQFile(path, std::move(firmware.File));
  if (!file) ShowMessage(FirmwareFaultText(firmware.Fault));
  return file;
}

void TForm1::_StartUpgrade() {
  Blocks.Start(static_cast<int32_t>(FirmwareFile->size()));
  ProgressBar1->setMaximum(Blocks.FirmwareSize);
  ProgressBar1->setMinimum(0);
  ProgressBar1->setValue(0);
  UpgradeAborted = false;
  Upgrading = true;
  VellCommDevice1->fSetUsePackage(true);
  SetStatus(QStringLiteral("请打开接收机电源！"));
  Timer2->start();
  LockButtons();
}

void TForm1::Timer2Timer(QObject*) { Send(Z500::UpgradeHandshake()); }

void TForm1::_UpgradeHandshakeAnswer(uint8_t hardwareVersion) {
  // Only while calling the receiver: an answer to a handshake that was
  // already on its way must not send a second block while one is awaited.
  if (!Timer2->isActive()) return;
  Timer2->stop();
  if (hardwareVersion != HardwareVersion) {
    _FailUpgrade(VersionMismatch, false);
    return;
  }
  _SendNextBlock();
  if (Upgrading) SetStatus(QStringLiteral("升级中，不要关闭接收机和本软件，请稍候！"));
}

void TForm1::_UpgradeBlockAnswer(uint8_t result, std::optional<uint32_t> address) {
  // An answer while none is awaited (left over from an earlier upgrade, or
  // while calling the receiver) says nothing about this transfer.
  if (!BlockOutstanding) return;
  BlockOutstanding = false;
  const Z500::TBlockVerdict verdict = Blocks.Judge(result, address);
  if (verdict != Z500::TBlockVerdict::bvAccepted) {
    _FailUpgrade(VerdictText(verdict));
    return;
  }
  _SendNextBlock();
}

void TForm1::_SendNextBlock() {
  if (UpgradeAborted) {
    UnlockButtons();
    return;
  }
  const Z500::TBlockSequencer::TNext next =
      Blocks.Next([this](uint8_t* buf, size_t len) { return ReadFully(*FirmwareFile, buf, len); });
  if (next.Step == Z500::TBlockSequencer::TStep::Block) {
    Send(next.Frame);
    BlockOutstanding = true;
    BlockSentAt = Clock->TickCount();
    if (!UpgradeWatch->isActive()) UpgradeWatch->start();
    if (Blocks.BytesSent >= Blocks.FirmwareSize)
      ProgressBar1->setValue(Blocks.FirmwareSize);
    else
      ProgressBar1->setValue(ProgressBar1->value() + Blocks.BlockLength);
    return;
  }
  if (next.Step == Z500::TBlockSequencer::TStep::ReadFailed) {
    _FailUpgrade(QStringLiteral("读取升级文件出错，升级未完成！"));
    return;
  }
  if (next.Step == Z500::TBlockSequencer::TStep::Grew) {
    _FailUpgrade(QStringLiteral("升级文件在升级过程中被改动，升级未完成！"));
    return;
  }
  // The end of the file, one step after the last block: the upgrade is done.
  _EndUpgrade();
  ProgressBar1->setValue(0);
  ShowMessage(QStringLiteral("升级成功！重启接收机后新固件生效。"));
  SetStatus(QStringLiteral("升级成功，重启接收机后新固件生效。"));
  UnlockButtons();
}

void TForm1::_UpgradeWatchTick() {
  if (!BlockOutstanding) {
    UpgradeWatch->stop();
    return;
  }
  if (Clock->TickCount() - BlockSentAt >= Z500::BlockAnswerTimeoutMs)
    _FailUpgrade(QStringLiteral("接收机无应答，升级未完成！"));
}

void TForm1::_EndUpgrade() {
  // Before any box: its message loop may deliver late answers, which are
  // then dropped like any class V reply outside an upgrade.
  Timer2->stop();
  UpgradeWatch->stop();
  BlockOutstanding = false;
  FirmwareFile.reset();
  Upgrading = false;
}

void TForm1::_FailUpgrade(const QString& message, bool failureStatus) {
  _EndUpgrade();
  UpgradeAborted = true;
  ShowMessage(message);
  UnlockButtons();
  if (failureStatus) SetStatus(FailureStatus);
}
