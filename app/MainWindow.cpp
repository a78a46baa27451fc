#include "MainWindow.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QEventLoop>
#include <QFile>
#include <QFont>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "LinkSteps.h"
#include "PortChooserEdit.h"
#include "PortInfo.h"
#include "RawReplyWait.h"

using namespace QuarlComm32;

namespace {

// The form's font, and the one of the status line. The form was drawn for a
// Windows sans-serif; on Linux the CJK fonts stand in for it.
QFont FormFont(int pixelSize) {
  static const bool substituted = [] {
    QFont::insertSubstitutions(QStringLiteral("MS Sans Serif"),
                               {QStringLiteral("WenQuanYi Micro Hei"), QStringLiteral("Noto Sans CJK SC"),
                                QStringLiteral("DejaVu Sans")});
    return true;
  }();
  (void)substituted;
  QFont font(QStringLiteral("MS Sans Serif"));
  font.setPixelSize(pixelSize);
  return font;
}

// The colour of an inactive window caption's gradient, behind the status line.
const QColor InactiveCaptionGradient(0xD7, 0xE4, 0xF2);

template <class W>
W* Make(QWidget* parent, const char* name, int left, int top, int width, int height) {
  auto* w = new W(parent);
  w->setObjectName(QLatin1String(name));
  w->setGeometry(left, top, width, height);
  return w;
}

QGroupBox* MakeGroup(QWidget* parent, const char* name, const QString& caption, int left, int top, int width,
                     int height) {
  auto* g = Make<QGroupBox>(parent, name, left, top, width, height);
  g->setTitle(caption);
  // The caption sits on the frame's top line, which runs through the middle
  // of its text, as on the form; Qt's own styles put it above the frame.
  g->setStyleSheet(QStringLiteral(
      "QGroupBox { border: 2px groove palette(dark); margin-top: %1px; }"
      "QGroupBox::title { subcontrol-origin: margin; subcontrol-position: top left; left: 7px;"
      " padding: 0px 1px; background-color: palette(window); }")
                       .arg(g->fontMetrics().height() / 2));
  return g;
}

// A button that Enter (either key) presses as Space does, as buttons do on
// the platform the form was drawn for. Qt leaves Enter to a dialog's default
// button instead; the window has none, and none of its buttons may become
// one (auto-default), or Enter in an edit box would press the button last
// focused. A held key presses once: each press may start a receiver command.
class TFormButton : public QPushButton {
public:
  using QPushButton::QPushButton;

protected:
  void keyPressEvent(QKeyEvent* event) override {
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (!enter || (event->modifiers() & ~Qt::KeypadModifier)) {
      QPushButton::keyPressEvent(event);
      return;
    }
    event->accept();
    if (!event->isAutoRepeat()) click();
  }
};

QPushButton* MakeButton(QWidget* parent, const char* name, const QString& caption, int left, int top,
                        int width, int height) {
  auto* b = Make<TFormButton>(parent, name, left, top, width, height);
  b->setText(caption);
  b->setAutoDefault(false);
  return b;
}

QLabel* MakeLabel(QWidget* parent, const char* name, const QString& caption, int left, int top, int width,
                  int height) {
  auto* l = Make<QLabel>(parent, name, left, top, width, height);
  l->setText(caption);
  l->setTextFormat(Qt::PlainText);
  l->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  return l;
}

QLineEdit* MakeEdit(QWidget* parent, const char* name, const QString& text, int left, int top, int width,
                    int height) {
  auto* e = Make<QLineEdit>(parent, name, left, top, width, height);
  e->setText(text);
  return e;
}

// Gives each item of the port chooser its device as a tooltip (for a USB
// adapter also what it is and its serial); an item the map has no device
// for gets none. Reads sysfs only: no device is opened.
void ShowPortTips(QComboBox* box, const QuarlComm32::IPortMap& map) {
  std::vector<QuarlComm32::TPortEntry> ports;
  map.List(ports);
  for (int i = 0; i < box->count(); ++i) {
    const int number = QuarlComm32::ReadComName(box->itemText(i).toStdString()).Number;
    const auto port = std::find_if(ports.begin(), ports.end(), [&](const auto& p) { return p.Number == number; });
    const std::string tip =
        port == ports.end() ? std::string() : QuarlComm32::PortToolTip(QuarlComm32::DescribePort(*port, {}, false));
    box->setItemData(i, tip.empty() ? QVariant() : QVariant(QString::fromStdString(tip)), Qt::ToolTipRole);
  }
}

}  // namespace

bool TOpenDialog::Execute(QWidget* owner) {
  const QString chosen = Prompts->OpenFile(owner, Filter);
  if (chosen.isEmpty()) return false;
  FileName = chosen;
  return true;
}

TForm1::TForm1(TServices services, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint),
      Prompts(services.Prompts ? std::move(services.Prompts) : std::make_shared<Z500::TQtPrompts>()),
      Clock(services.Clock ? std::move(services.Clock) : std::make_shared<Z500::TSteadyClock>()),
      PortMap(services.PortMap ? std::move(services.PortMap) : DefaultPortMap()) {
  setObjectName(QStringLiteral("Form1"));
  setWindowTitle(QStringLiteral("VarnexZ500静态接收机管理软件V1.0"));
  move(518, 194);
  setFixedSize(489, 697);
  setFont(FormFont(11));
  QPalette face = palette();
  face.setColor(QPalette::Window, face.color(QPalette::Button));
  setPalette(face);
  setAutoFillBackground(true);

  _CreateControls();
  _CreateComponents();
  _WireParameters();
  _WireDirectory();
  _SetUpUpgrade();
  FormCreate(this);
}

TForm1::~TForm1() {
  // The device goes first, while everything its events reach still exists.
  delete VellCommDevice1;
  VellCommDevice1 = nullptr;
  // Then the trace, which writes what is queued.
  Trace.reset();
}

void TForm1::_CreateControls() {
  _CreateLinkGroup();
  _CreateUpgradeGroup();
  _CreateStaticGroup();
  _CreateStatusLine();

  // Tab order: the link group, the static group, the upgrade group.
  QWidget* order[] = {Button1, Button2, ComboBox1, Button17, Edit2,   Edit3,   Button5, Button6,
                      Button7, Button8, Button9,   StringGrid1, Edit1, Button3, Button4, ProgressBar1};
  for (size_t i = 1; i < std::size(order); ++i) setTabOrder(order[i - 1], order[i]);

  connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(Button1); });
  connect(Button2, &QPushButton::clicked, this, [this] { Button2Click(Button2); });
  connect(Button17, &QPushButton::clicked, this, [this] { Button17Click(Button17); });
}

void TForm1::_CreateLinkGroup() {
  GroupBox1 = MakeGroup(this, "GroupBox1", QStringLiteral("串行端口"), 8, 8, 473, 65);
  auto* chooser = Make<TPortChooser>(GroupBox1, "ComboBox1", 16, 24, 65, 21);
  ComboBox1 = chooser;
  ComboBox1->setLineEdit(new TPortChooserEdit(ComboBox1));
  ComboBox1->setInsertPolicy(QComboBox::NoInsert);
  for (int i = 1; i <= 9; ++i) ComboBox1->addItem(QStringLiteral("COM%1").arg(i));
  chooser->BeforePopup = [this] { ShowPortTips(ComboBox1, *PortMap); };
  chooser->BeforePopup();
  // Only picking an item chooses one: Qt would otherwise choose the item
  // that matches typed text when editing ends, or complete it on the way.
  ComboBox1->setCompleter(nullptr);
  ComboBox1->setCurrentIndex(-1);
  ComboBox1->setEditText(QStringLiteral("COM1"));
  Button1 = MakeButton(GroupBox1, "Button1", QStringLiteral("打开串口"), 96, 16, 89, 41);
  Button17 = MakeButton(GroupBox1, "Button17", QStringLiteral("打开声音"), 216, 16, 97, 41);
  Button2 = MakeButton(GroupBox1, "Button2", QStringLiteral("恢复波特率"), 344, 16, 97, 41);
}

void TForm1::_CreateUpgradeGroup() {
  GroupBox3 = MakeGroup(this, "GroupBox3", QStringLiteral("固件升级"), 8, 72, 473, 121);
  Label17 = MakeLabel(GroupBox3, "Label17", QStringLiteral("文件："), 16, 16, 36, 25);
  Edit1 = MakeEdit(GroupBox3, "Edit1", QStringLiteral("选择固件文件路径，升级前请关闭接收机！"), 56, 16, 385, 21);
  Label18 = MakeLabel(GroupBox3, "Label18", QStringLiteral("进度："), 16, 48, 41, 25);
  ProgressBar1 = Make<QProgressBar>(GroupBox3, "ProgressBar1", 56, 48, 385, 17);
  ProgressBar1->setRange(0, 100);
  ProgressBar1->setValue(0);
  ProgressBar1->setTextVisible(false);
  Button3 = MakeButton(GroupBox3, "Button3", QStringLiteral("选择文件"), 120, 72, 105, 41);
  Button4 = MakeButton(GroupBox3, "Button4", QStringLiteral("开始升级"), 256, 72, 105, 41);
}

void TForm1::_CreateStaticGroup() {
  GroupBox2 = MakeGroup(this, "GroupBox2", QStringLiteral("静态管理"), 8, 256, 473, 385);
  Label2 = MakeLabel(GroupBox2, "Label2", QStringLiteral("采集间隔："), 8, 16, 73, 17);
  Edit2 = MakeEdit(GroupBox2, "Edit2", QStringLiteral("5"), 80, 16, 57, 21);
  Label3 = MakeLabel(GroupBox2, "Label3", QStringLiteral("截   止  角："), 8, 40, 65, 17);
  Edit3 = MakeEdit(GroupBox2, "Edit3", QStringLiteral("12"), 80, 40, 57, 21);
  Button5 = MakeButton(GroupBox2, "Button5", QStringLiteral("读回参数"), 160, 16, 97, 41);
  Button6 = MakeButton(GroupBox2, "Button6", QStringLiteral("设置参数"), 280, 16, 97, 41);
  Button7 = MakeButton(GroupBox2, "Button7", QStringLiteral("刷新目录"), 40, 64, 113, 41);
  Button8 = MakeButton(GroupBox2, "Button8", QStringLiteral("删除选中"), 192, 64, 97, 41);
  Button9 = MakeButton(GroupBox2, "Button9", QStringLiteral("格式化/全部删除"), 328, 64, 121, 41);
  StringGrid1 = new TStringGrid(4, 15, GroupBox2);
  StringGrid1->setObjectName(QStringLiteral("StringGrid1"));
  StringGrid1->setGeometry(8, 112, 457, 257);
  StringGrid1->SetRowHeight(20);
  const int widths[] = {30, 130, 87, 179};
  for (int c = 0; c < 4; ++c) StringGrid1->SetColWidth(c, widths[c]);
}

void TForm1::_CreateStatusLine() {
  QFont lineFont = FormFont(13);
  QPalette linePalette = palette();
  linePalette.setColor(QPalette::Window, InactiveCaptionGradient);
  Label5 = MakeLabel(this, "Label5", QStringLiteral("提示信息："), 0, 672, 73, 25);
  Label1 = MakeLabel(this, "Label1", QStringLiteral("请先打开对应串口！"), 72, 672, 417, 25);
  for (QLabel* l : {Label5, Label1}) {
    l->setFont(lineFont);
    l->setPalette(linePalette);
    l->setAutoFillBackground(true);
    l->setWordWrap(false);
  }
  QPalette red = Label5->palette();
  red.setColor(QPalette::WindowText, Qt::red);
  Label5->setPalette(red);
}

void TForm1::_CreateComponents() {
  VellCommDevice1 = new TVellCommDevice(this);
  VellCommDevice1->setObjectName(QStringLiteral("VellCommDevice1"));
  VellCommDevice1->SetPortMap(PortMap);
  VellCommDevice1->fSetPortNo(1);
  _ApplyLinkSettings();
  VellCommDevice1->fSetUsePackage(true);
  VellCommDevice1->OnPackage = [this](QObject* Sender, int NotifyType) {
    VellCommDevice1Package(Sender, NotifyType);
  };
  VellCommDevice1->OnCommNotify = [this](QObject*, int NotifyType) { _LinkNotify(NotifyType); };

  Timer2 = new QTimer(this);
  Timer2->setObjectName(QStringLiteral("Timer2"));
  Timer2->setInterval(static_cast<int>(Z500::HandshakePeriodMs));

  OpenDialog1.Prompts = Prompts;
  OpenDialog1.Filter = QStringLiteral("Q5固件文件(*.088.rxf)|*.088.rxf|所有文件(*.*)|*.*");
}

void TForm1::_ApplyLinkSettings() {
  using Settings = Z500::TLinkSettings;
  static_assert(TVellCommDevice::BaudRates[TVellCommDevice::br19200] == Settings::Baud);
  VellCommDevice1->fSetBaud(TVellCommDevice::br19200);
  VellCommDevice1->fSetByteSize(Settings::ByteSize);
  VellCommDevice1->fSetParity(static_cast<TVellCommDevice::TParity>(Settings::Parity));
  VellCommDevice1->fSetStopBits(static_cast<TVellCommDevice::TStopBits>(Settings::StopBits));
  VellCommDevice1->fSetInBufSize(Settings::QueueBytes);
  VellCommDevice1->fSetOutBufSize(Settings::QueueBytes);
  VellCommDevice1->fSetHwInSize(Settings::DriverBufferBytes);
  VellCommDevice1->fSetHwOutSize(Settings::DriverBufferBytes);
  VellCommDevice1->fSetQueueSize(static_cast<long>(Settings::PackageSlots));
  VellCommDevice1->fSetPackageSize(static_cast<long>(Settings::PackageBytes));
  VellCommDevice1->fSetPackageType(Settings::PackageType);
  VellCommDevice1->fSetPackageInterval(static_cast<long>(Settings::PackagePauseMs));
}

void TForm1::FormCreate(QObject*) {
  TPortSlot names[9];
  const int count = ListSerialPorts(names);
  if (count == -1) {
    SetStatus(QStringLiteral("请先打开对应串口！该电脑无可用串口！"));
    return;
  }
  QString text = QStringLiteral("请先打开对应串口！可用端口有：");
  for (int i = 0; i < count; ++i)
    text += QString::fromLatin1(names[i].data(), static_cast<qsizetype>(strnlen(names[i].data(), 4))) +
            QLatin1Char(' ');
  SetStatus(text);
}

int TForm1::ListSerialPorts(TPortSlot* names) {
  std::vector<std::string> found;
  if (!QuarlComm32::ListComNames(found, PortMap)) return -1;
  const int count = static_cast<int>(std::min<size_t>(found.size(), 9));
  for (int i = 0; names && i < count; ++i) {
    TPortSlot& slot = names[i];
    slot.fill('\0');
    std::memcpy(slot.data(), found[i].data(), std::min(found[i].size(), slot.size() - 1));
  }
  return count;
}

void TForm1::LockButtons() { _EnableActionButtons(false); }

void TForm1::UnlockButtons() { _EnableActionButtons(true); }

void TForm1::_EnableActionButtons(bool enabled) {
  for (QPushButton* b : {Button1, Button2, Button3, Button4, Button5, Button6, Button7, Button8, Button9})
    b->setEnabled(enabled);
}

void TForm1::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Escape) {
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

void TForm1::closeEvent(QCloseEvent* event) {
  _DropLink();
  QDialog::closeEvent(event);
}

void TForm1::SetStatus(const QString& text, bool now) {
  Label1->setText(text);
  if (now) Label1->repaint();
}

void TForm1::ShowMessage(const QString& text) { Prompts->Message(this, text); }

void TForm1::Send(const Z500::TFrame& frame) {
  LastSent = frame;
  _Trace(Z500::TTraceDirection::Sent, Z500::TTraceKind::Frame, frame);
  VellCommDevice1->Write(frame.data(), static_cast<long>(frame.size()));
}

void TForm1::VellCommDevice1Package(QObject*, int) {
  uint8_t buffer[Z500::ReplyBufferSize];
  const unsigned long m = VellCommDevice1->ReadPackage(buffer, sizeof buffer);
  if (m == 0) return;
  const std::span<const uint8_t> whole{buffer, std::min<size_t>(m, sizeof buffer)};
  _Trace(Z500::TTraceDirection::Received, Z500::TTraceKind::Frame, whole);
  const std::span<const uint8_t> package = _WithoutEcho(whole);
  if (!package.empty()) Z500::DispatchReply(package, Upgrading, Routes);
}

Z500::TWaitEnd TForm1::RawReplyWait(const Z500::TFrame& request, const Z500::TReplyHead& head,
                                          uint32_t limitMs) {
  // Packaging goes off before the request is written: the framer would take
  // a quick answer in and lose it at the switch. Nothing received before the
  // request can answer it, and its echo, if any, then comes first.
  VellCommDevice1->fSetUsePackage(false);
  const auto read = [this](uint8_t* buf, long len) {
    const long n = VellCommDevice1->Read(buf, len);
    if (n > 0) _Trace(Z500::TTraceDirection::Received, Z500::TTraceKind::Raw, {buf, static_cast<size_t>(n)});
    return n;
  };
  Z500::DropReceived(read);
  Send(request);
  QApplication::setOverrideCursor(Qt::WaitCursor);
  // Paint, timer and device events go on, and so does a close from the
  // window manager; clicks and keys wait until the end. A lost device or a
  // closed window closes the link, which ends the wait.
  Z500::TReplyScanner scanner(head, request, LineEchoes);
  const bool found = Z500::WaitForReplyHead(
      read, scanner, limitMs, *Clock,
      WaitStart, WaitNow, [] { QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents); },
      [this] { return !VellCommDevice1->fGetActive(); });
  QApplication::restoreOverrideCursor();
  if (found) return Z500::TWaitEnd::Done;
  if (!VellCommDevice1->fGetActive()) return Z500::TWaitEnd::LineLost;
  if (!scanner.EchoSeen()) return Z500::TWaitEnd::TimedOut;
  _LineEchoes();
  return Z500::TWaitEnd::EchoOnly;
}
