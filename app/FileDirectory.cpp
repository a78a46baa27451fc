// The receiver's file directory: listing the observation files page by page
// into the grid, deleting the selected ones, and formatting the flash. Each
// page must come within a time limit and make sense; a listing that stops
// short says so in the status line rather than that the list was read.
//
// A file name is bytes, not text: the grid shows each name byte as one
// character and keeps the eight bytes the receiver listed with the row, and a
// delete request sends exactly those.
#include <QPushButton>
#include <QTimer>

#include <vector>

#include "DirectoryEntries.h"
#include "LinkSteps.h"
#include "MainWindow.h"

namespace {

const QString PortClosed = QStringLiteral("串口没有打开！");
const QString NoFiles = QStringLiteral("没有记录文件！");
const QString Deleted = QStringLiteral("删除完毕！");
const QString Refreshed = QStringLiteral("已经刷新目录！");
const QString PageLost = QStringLiteral("目录读取不完整，接收机无应答！");
// How often a listing looks whether the page it awaits is overdue.
constexpr int WatchPeriodMs = 100;

QString PageFaultText(Z500::TPageFault fault) {
  switch (fault) {
    case Z500::TPageFault::pfMalformed:
    case Z500::TPageFault::pfCut: return QStringLiteral("目录数据有误，列表不完整！");
    case Z500::TPageFault::pfRepeated: return QStringLiteral("接收机重复发送同一目录页，列表不完整！");
    default: return QStringLiteral("目录条目超过65535个，列表不完整！");
  }
}

}  // namespace

void TForm1::_WireDirectory() {
  connect(Button7, &QPushButton::clicked, this, [this] { Button7Click(Button7); });
  connect(Button8, &QPushButton::clicked, this, [this] { Button8Click(Button8); });
  connect(Button9, &QPushButton::clicked, this, [this] { Button9Click(Button9); });
  // A click records the selection; so do dragging and the keyboard, which
  // change it without a click.
  connect(StringGrid1, &QAbstractItemView::clicked, this, [this] { StringGrid1Click(StringGrid1); });
  connect(StringGrid1, &TStringGrid::UserSelectionChanged, this, [this] { StringGrid1Click(StringGrid1); });
  Routes.DirectoryPage = [this](uint16_t length, std::span<const uint8_t> payload) {
    _ListDirectoryPage(length, payload);
  };
  Routes.DeleteFinished = [this] { _DeleteFinished(); };
  DirectoryWatch = new QTimer(this);
  DirectoryWatch->setObjectName(QStringLiteral("DirectoryWatch"));
  DirectoryWatch->setInterval(WatchPeriodMs);
  connect(DirectoryWatch, &QTimer::timeout, this, [this] { _DirectoryWatchTick(); });
  PageRetry = new QTimer(this);
  PageRetry->setObjectName(QStringLiteral("PageRetry"));
  PageRetry->setSingleShot(true);
  PageRetry->setInterval(static_cast<int>(Z500::CutPageQuietMs));
  connect(PageRetry, &QTimer::timeout, this, [this] {
    // Only on the link the cut page came on, and not into an upgrade.
    if (VellCommDevice1->fGetActive() && !Upgrading) _RequestDirectory();
  });
}

void TForm1::_ClearGrid() {
  // A listing still under way would fill the emptied grid again.
  PageAwaited = false;
  PageRetry->stop();
  CutRetries = 0;
  for (int row = 1; row < StringGrid1->RowCount(); ++row) {
    for (int col = 0; col < 4; ++col) StringGrid1->SetCell(col, row, QString());
    StringGrid1->SetCellBytes(1, row, {});
  }
  StringGrid1->SetRowCount(15);
}

void TForm1::_ForgetRequests() {
  // What was asked on a link that closed is not answered on the next one.
  DeleteOutstanding = false;
  PageAwaited = false;
  PageRetry->stop();
  CutRetries = 0;
}

void TForm1::_RequestDirectory() {
  if (!VellCommDevice1->fGetActive()) {
    ShowMessage(PortClosed);
    return;
  }
  Send(Z500::DirectoryRequest(static_cast<uint16_t>(FileCount)));
  PageAwaited = true;
  PageAskedAt = Clock->TickCount();
  if (!DirectoryWatch->isActive()) DirectoryWatch->start();
}

void TForm1::Button7Click(QObject*) {
  if (!VellCommDevice1->fGetActive()) {
    ShowMessage(PortClosed);
    return;
  }
  // The listing under way reads the directory afresh already; a second one
  // would take its page for the answer to its own first request.
  if (PageAwaited) return;
  FileCount = 0;
  _ClearGrid();
  _RequestDirectory();
}

void TForm1::_ListDirectoryPage(uint16_t length, std::span<const uint8_t> payload) {
  // A page no request awaits (the listing gave up, or the grid was cleared
  // since) would add rows to a list that is not being read.
  if (!PageAwaited) return;
  PageAwaited = false;
  const Z500::TDirectoryPageStep step = Listing.Page(length, payload, FileCount);
  // A page cut by a pause in the line: the same request again once the rest
  // of it has passed.
  if (step.Fault == Z500::TPageFault::pfCut && CutRetries < Z500::MaxCutPageRetries) {
    ++CutRetries;
    PageRetry->start();
    return;
  }
  if (step.Fault == Z500::TPageFault::pfNone) CutRetries = 0;
  for (const Z500::TDirectoryEntry& entry : step.Entries) {
    if (FileCount >= 14) StringGrid1->SetRowCount(FileCount + 2);
    const int row = FileCount + 1;
    const std::string name = Z500::FileNameBytes(entry);
    StringGrid1->SetCell(0, row, QString::number(row));
    StringGrid1->SetCell(1, row, QString::fromLatin1(name.data(), static_cast<qsizetype>(name.size())));
    StringGrid1->SetCellBytes(1, row, QByteArray(reinterpret_cast<const char*>(entry.Name.data()), 8));
    StringGrid1->SetCell(2, row, QString::fromStdString(Z500::SizeText(entry.Size)));
    StringGrid1->SetCell(3, row, QString::fromStdString(Z500::CreatedText(entry.Date, entry.Time)));
    ++FileCount;
  }
  if (step.Fault != Z500::TPageFault::pfNone) {
    SetStatus(PageFaultText(step.Fault));
    return;
  }
  if (length != 0) SetStatus(Refreshed);
  if (step.RequestNext) _RequestDirectory();
  if (step.NoFiles) {
    SetStatus(NoFiles);
    ShowMessage(NoFiles);
  }
}

void TForm1::_DirectoryWatchTick() {
  if (!PageAwaited) {
    DirectoryWatch->stop();
    return;
  }
  // The link closed (whoever closed it has said why), or an upgrade took
  // the line, whose dispatcher drops pages: the listing ends without a word.
  if (!VellCommDevice1->fGetActive() || Upgrading) {
    PageAwaited = false;
    return;
  }
  if (Clock->TickCount() - PageAskedAt < Z500::DirectoryPageTimeoutMs) return;
  PageAwaited = false;
  SetStatus(PageLost);
}

void TForm1::StringGrid1Click(QObject*) {
  // Nothing selected (the user took the selection away) counts as no choice.
  GridSelection = StringGrid1->HasSelection() ? StringGrid1->Selection() : TGridRect{};
}

void TForm1::Button8Click(QObject*) {
  if (!VellCommDevice1->fGetActive()) {
    ShowMessage(PortClosed);
    return;
  }
  const int top = GridSelection.Top, bottom = GridSelection.Bottom;
  if (top == 0) {
    ShowMessage(QStringLiteral("没有选中要删除的文件！"));
    return;
  }
  if (StringGrid1->Cell(1, bottom).isEmpty() || StringGrid1->Cell(1, top).isEmpty()) {
    ShowMessage(QStringLiteral("不要选中没有文件名的记录行！"));
    return;
  }
  if (bottom - top + 1 > static_cast<int>(Z500::MaxDeleteNames)) {
    ShowMessage(QStringLiteral("一次只能删除少于30个文件！"));
    return;
  }
  QString question = QStringLiteral("是否删除以下静态文件？\r\n");
  std::vector<Z500::TFileName> names;
  for (int row = top; row <= bottom; ++row) {
    const QString cell = StringGrid1->Cell(1, row);
    question += cell + QStringLiteral("\r\n");
    // The bytes the receiver listed; a row without them (none is expected)
    // falls back to the name cell's first 8 characters, byte for byte.
    QByteArray bytes = StringGrid1->CellBytes(1, row);
    if (bytes.size() != 8) bytes = cell.left(8).toLatin1().leftJustified(8, ' ', true);
    Z500::TFileName name;
    std::copy_n(bytes.constData(), 8, reinterpret_cast<char*>(name.data()));
    names.push_back(name);
  }
  if (!Prompts->Confirm(this, question)) return;
  Send(Z500::DeleteRequest(names));
  DeleteOutstanding = true;
}

void TForm1::_DeleteFinished() {
  // The format's answer is a "$$FD" frame too: one that comes after its wait
  // gave up must not pass for a deletion.
  if (!DeleteOutstanding) return;
  DeleteOutstanding = false;
  SetStatus(Deleted);
  ShowMessage(Deleted);
  FileCount = 0;
  _ClearGrid();
  _RequestDirectory();
}

void TForm1::Button9Click(QObject*) {
  if (!VellCommDevice1->fGetActive()) {
    ShowMessage(PortClosed);
    return;
  }
  if (!Prompts->Confirm(this, QStringLiteral("格式化会全部删除静态数据，而且不可恢复。是否确定执行格式化操作？")))
    return;
  // The box ran an event loop of its own: the link may have gone meanwhile.
  if (!VellCommDevice1->fGetActive()) return;
  SetStatus(QStringLiteral("正在格式化NANDFLASH，请稍候！"), true);
  _ClearGrid();
  switch (const Z500::TWaitEnd outcome = RawReplyWait(Z500::FormatRequest(), Z500::FormatHead, Z500::FormatWaitMs)) {
    case Z500::TWaitEnd::Done:
      ShowMessage(QStringLiteral(" 格式化完毕！\r\n请重启静态接收机！\r\n "));
      SetStatus(QStringLiteral("格式化完毕！"));
      break;
    case Z500::TWaitEnd::TimedOut:
    case Z500::TWaitEnd::EchoOnly:  // the status line tells of the echo
      ShowMessage(QStringLiteral("接收机无应答，未能确认格式化完成！"));
      if (outcome == Z500::TWaitEnd::TimedOut) SetStatus(QStringLiteral("格式化失败，接收机无应答！"));
      break;
    case Z500::TWaitEnd::LineLost:  // whoever closed it has said why
      break;
  }
  VellCommDevice1->fSetUsePackage(true);
}
