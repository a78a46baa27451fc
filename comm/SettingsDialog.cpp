#include "SettingsDialog.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>

#include <functional>
#include <memory>

#include "AboutDialog.h"
#include "DialogText.h"
#include "TCommSerialPortInfo.h"

namespace QuarlComm32 {
namespace {

constexpr TDialogText kCaption{"端口设置", "序列埠設置", "COM port Setup"};
constexpr TDialogText kOK{"确定", "確定", "&OK"};
constexpr TDialogText kCancel{"取消", "取消", "&Cancel"};
constexpr TDialogText kAbout{"关于", "關於", "&About"};
constexpr TDialogText kDefault{"默认", "默認", "&Default"};
constexpr TDialogText kBase{"端口选项", "埠選項", "Port"};
constexpr TDialogText kModem{"调制解调器选项", "數據機選項", "Modem"};
constexpr TDialogText kBuffer{"缓存容量", "緩存容量", "Buffer"};
constexpr TDialogText kPort{"端口", "序 列 埠", "COM port"};
constexpr TDialogText kBaud{"波特率", "傳輸速率", "Baud"};
constexpr TDialogText kCheck{"奇偶校验", "奇偶校驗", "Parity"};
constexpr TDialogText kBits{"数据位", "資料位元", "Byte Size"};
constexpr TDialogText kStops{"停止位", "停止位元", "Stop Bits"};
constexpr TDialogText kFlow{"数据流控", "資料流控", "Flow Control"};
constexpr TDialogText kAAns{"自动应答", "自動回應", "Auto Answer"};
constexpr TDialogText kInbs{"输入缓存", "輸入緩存", "Input Buf."};
constexpr TDialogText kOutbs{"输出缓存", "輸出緩存", "Output Buf."};
constexpr TDialogText kParities[] = {
    {"No parity (无)", "No parity (無)", "No parity"},
    {"Odd (奇)", "Odd (奇)", "Odd"},
    {"Even (偶)", "Even (偶)", "Even"},
    {"Mark (标记)", "Mark (標記)", "Mark"},
    {"Space (空格)", "Space (空白)", "Space Parity"},
};
constexpr TDialogText kFlows[] = {
    {"None (无)", "None (無)", "None"},
    {"RTS/CTS (硬件)", "RTS/CTS (硬體)", "RTS/CTS"},
    {"Xon/Xoff (软件)", "Xon/Xoff (軟體)", "Xon/Xoff"},
    {"RTS/CTS & Xon/Xoff (硬&软)", "RTS/CTS & Xon/Xoff (硬&軟)", "RTS/CTS & Xon/Xoff"},
};
constexpr TDialogText kNoPort{"必须选择端口", "必須選擇序列埠", "Must select COM Port"};
constexpr TDialogText kNoBaud{"必须输入/选择波特率", "必須輸入/選擇序列傳輸速率", "Must select baud rate"};
constexpr TDialogText kNoBits{"必须选择数据位", "必須選擇資料位元", "Must select byte size"};
constexpr TDialogText kNoParity{"必须选择奇偶校验", "必須選擇奇偶校驗", "Must select parity check"};
constexpr TDialogText kNoStops{"必须选择停止位", "必須選擇停止位元", "Must select stop bits"};
constexpr TDialogText kNoFlow{"必须选择数据流控制", "必須選擇資料流程控制", "Must select flow control"};
constexpr TDialogText kBadAAns{"自动应答必须是 0 - 255 的整数", "自動回應必須是 0 - 255 的整數", "Auto Answer: 0 - 255"};
constexpr TDialogText kBadInbs{"输入缓存容量错误", "輸入緩存容量錯誤", "Input Buffer size error"};
constexpr TDialogText kBadOutbs{"输出缓存容量错误", "輸出緩存容量錯誤", "Output Buffer size error"};

constexpr int kClientWidth = 393;
constexpr int kClientHeight = 228;
constexpr int kButtonWidth = 75;
constexpr long kMinBufSize = 4096;

// A label and its input on one row of a group box.
template <class W>
W* MakeRow(QGroupBox* group, QLabel*& label, const char* labelName, const char* inputName, int top) {
  label = Place<QLabel>(group, labelName, 10, top + 3, 68, 16);
  auto* input = Place<W>(group, inputName, 80, top, 96, 21);
  label->setBuddy(input);
  return input;
}

// A trimmed whole number within [low, high], or false.
bool IntegerIn(const QLineEdit* edit, long low, long high, long& value) {
  bool ok = false;
  value = edit->text().trimmed().toLong(&ok);
  return ok && value >= low && value <= high;
}

std::unique_ptr<QDialog> CreateSettingsDialog(QWidget* owner, bool open, TVellCustomCommDevice* device) {
  return std::make_unique<TForm_VellCommDevice_Settings>(owner, open, device);
}

}  // namespace

// The device shows this dialog; being defined here, the creator is linked in
// with the device wherever SettingsDialog is used.
TVellCustomCommDevice::TSettingsDialogCreator TVellCustomCommDevice::SettingsDialogCreator = &CreateSettingsDialog;

QString BareClassName(const QObject* object) {
  const QString name = QString::fromLatin1(object->metaObject()->className());
  const qsizetype colons = name.lastIndexOf(QLatin1String("::"));
  return colons < 0 ? name : name.mid(colons + 2);
}

TForm_VellCommDevice_Settings::TForm_VellCommDevice_Settings(QWidget* owner, bool open,
                                                             TVellCustomCommDevice* device)
    : QDialog(owner), CommDevice(device), OpenFlag(open) {
  setObjectName(QStringLiteral("Form_VellCommDevice_Settings"));
  setFont(DialogFont());
  setFixedSize(kClientWidth, kClientHeight);
  setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
  _CreateControls();
  _SetTexts();

  CbPort->clear();
  const TCommSerialPortInfo ports(device->GetPortMap());
  for (const std::string& name : ports.PortList) CbPort->addItem(LocaleText(name.c_str()));
  CbParity->clear();
  for (const TDialogText& t : kParities) CbParity->addItem(DialogText(t));
  CbFlow->clear();
  for (const TDialogText& t : kFlows) CbFlow->addItem(DialogText(t));
  for (QComboBox* list : {CbParity, CbFlow})
    list->view()->setMinimumWidth(list->view()->sizeHintForColumn(0) + 8);

  // At run time only OK and Cancel show, centred as a pair.
  BnAbout->hide();
  BnDefault->hide();
  BnOK->move((width() - kButtonWidth) / 2 - 60, BnOK->y());
  BnCancel->move((width() - kButtonWidth) / 2 + 60, BnCancel->y());

  SavedActive = device->fGetActive();
  Saved = {device->fGetPortNo(),  device->fGetBaud(),       device->fGetParity(),
           device->fGetByteSize(), device->fGetStopBits(),  device->fGetFlowControl(),
           device->fGetAutoAnswer(), device->fGetInBufSize(), device->fGetOutBufSize()};
  _ShowSettings();
}

void TForm_VellCommDevice_Settings::_CreateControls() {
  GboxBase = Place<QGroupBox>(this, "GboxBase", 8, 8, 185, 185);
  CbPort = MakeRow<QComboBox>(GboxBase, lbPort, "lbPort", "CbPort", 20);
  CbSelBaud = MakeRow<QComboBox>(GboxBase, lbBaud, "lbBaud", "CbSelBaud", 52);
  CbParity = MakeRow<QComboBox>(GboxBase, lbCheck, "lbCheck", "CbParity", 84);
  CbByteSize = MakeRow<QComboBox>(GboxBase, lbBits, "lbBits", "CbByteSize", 116);
  CbStopBits = MakeRow<QComboBox>(GboxBase, lbStops, "lbStops", "CbStopBits", 148);
  GBoxModem = Place<QGroupBox>(this, "GBoxModem", 200, 8, 185, 89);
  CbFlow = MakeRow<QComboBox>(GBoxModem, lbFlow, "lbFlow", "CbFlow", 22);
  EditAutoAns = MakeRow<QLineEdit>(GBoxModem, lbAAns, "lbAAns", "EditAutoAns", 56);
  GBoxBuffer = Place<QGroupBox>(this, "GBoxBuffer", 200, 104, 185, 89);
  EditInBufSize = MakeRow<QLineEdit>(GBoxBuffer, lbInbs, "lbInbs", "EditInBufSize", 22);
  EditOutBufSize = MakeRow<QLineEdit>(GBoxBuffer, lbOutbs, "lbOutbs", "EditOutBufSize", 56);

  for (const char* rate : {"110", "300", "600", "1200", "2400", "4800", "9600", "14400", "19200", "38400", "56000",
                           "57600", "115200", "128000", "256000"})
    CbSelBaud->addItem(QLatin1String(rate));
  for (const char* bits : {"5", "6", "7", "8"}) CbByteSize->addItem(QLatin1String(bits));
  for (const char* stops : {"1", "1.5", "2"}) CbStopBits->addItem(QLatin1String(stops));

  BnAbout = Place<QPushButton>(this, "BnAbout", 8, 200, kButtonWidth, 25);
  BnDefault = Place<QPushButton>(this, "BnDefault", 152, 200, kButtonWidth, 25);
  BnOK = Place<QPushButton>(this, "BnOK", 232, 200, kButtonWidth, 25);
  BnCancel = Place<QPushButton>(this, "BnCancel", 312, 200, kButtonWidth, 25);
  // Enter presses the focused button, as Space does (Cancel cancels); with
  // the focus anywhere else it presses OK, the default button.
  for (QPushButton* b : {BnAbout, BnDefault, BnOK, BnCancel}) b->setAutoDefault(true);
  BnOK->setDefault(true);

  QWidget* order[] = {CbPort,        CbSelBaud,      CbParity, CbByteSize, CbStopBits, CbFlow,   EditAutoAns,
                      EditInBufSize, EditOutBufSize, BnOK,     BnCancel,   BnAbout,    BnDefault};
  for (size_t i = 0; i + 1 < std::size(order); ++i) setTabOrder(order[i], order[i + 1]);

  connect(BnOK, &QPushButton::clicked, this, &TForm_VellCommDevice_Settings::BnOKClick);
  connect(BnCancel, &QPushButton::clicked, this, &TForm_VellCommDevice_Settings::BnCancelClick);
  connect(BnDefault, &QPushButton::clicked, this, &TForm_VellCommDevice_Settings::BnDefaultClick);
  connect(BnAbout, &QPushButton::clicked, this, &TForm_VellCommDevice_Settings::BnAboutClick);
}

void TForm_VellCommDevice_Settings::_SetTexts() {
  setWindowTitle(DialogText(kCaption));
  const std::pair<QGroupBox*, TDialogText> groups[] = {{GboxBase, kBase}, {GBoxModem, kModem}, {GBoxBuffer, kBuffer}};
  for (const auto& [group, text] : groups) group->setTitle(DialogText(text));
  const std::pair<QPushButton*, TDialogText> buttons[] = {
      {BnOK, kOK}, {BnCancel, kCancel}, {BnAbout, kAbout}, {BnDefault, kDefault}};
  for (const auto& [button, text] : buttons) button->setText(DialogText(text));
  const std::pair<QLabel*, TDialogText> labels[] = {{lbPort, kPort},   {lbBaud, kBaud}, {lbCheck, kCheck},
                                                    {lbBits, kBits},   {lbStops, kStops}, {lbFlow, kFlow},
                                                    {lbAAns, kAAns},   {lbInbs, kInbs}, {lbOutbs, kOutbs}};
  for (const auto& [label, text] : labels) label->setText(DialogText(text));
}

void TForm_VellCommDevice_Settings::_ShowSettings() {
  CbPort->setCurrentIndex(CbPort->findText(LocaleText(TCommSerialPortInfo::PortName(Saved.PortNo).c_str()),
                                           Qt::MatchExactly));
  CbSelBaud->setCurrentIndex(Saved.Baud);
  CbParity->setCurrentIndex(Saved.Parity);
  CbByteSize->setCurrentIndex(Saved.ByteSize - 5);  // none for sizes outside 5 to 8
  CbStopBits->setCurrentIndex(Saved.StopBits);
  static constexpr int kFlowItem[] = {0, 1, 2, 2, 3};  // fcTranXonXoff shows as Xon/Xoff
  CbFlow->setCurrentIndex(kFlowItem[Saved.FlowControl <= Device::fcRtsCtsXonXoff ? Saved.FlowControl : 0]);
  EditAutoAns->setText(QString::number(Saved.AutoAnswer));
  EditInBufSize->setText(QString::number(Saved.InBufSize));
  EditOutBufSize->setText(QString::number(Saved.OutBufSize));
}

void TForm_VellCommDevice_Settings::_ShowStop(const QString& text) {
  QMessageBox box(QMessageBox::Critical, windowTitle(), text, QMessageBox::Ok, this);
  box.exec();
}

bool TForm_VellCommDevice_Settings::_Reject(QWidget* focus, const QString& text) {
  focus->setFocus();
  _ShowStop(text);
  return false;
}

bool TForm_VellCommDevice_Settings::_CheckEntries(TSettings& s) {
  if (CbPort->currentIndex() < 0) return _Reject(CbPort, DialogText(kNoPort));
  s.PortNo = TCommSerialPortInfo::PortNo(CbPort->currentText().toStdString());
  if (CbSelBaud->currentIndex() < 0) return _Reject(CbSelBaud, DialogText(kNoBaud));
  s.Baud = static_cast<Device::TBaudRate>(CbSelBaud->currentIndex());
  if (CbByteSize->currentIndex() < 0) return _Reject(CbByteSize, DialogText(kNoBits));
  s.ByteSize = CbByteSize->currentIndex() + 5;
  if (CbParity->currentIndex() < 0) return _Reject(CbParity, DialogText(kNoParity));
  s.Parity = static_cast<Device::TParity>(CbParity->currentIndex());
  if (CbStopBits->currentIndex() < 0) return _Reject(CbStopBits, DialogText(kNoStops));
  s.StopBits = static_cast<Device::TStopBits>(CbStopBits->currentIndex());
  static constexpr Device::TFlowControl kFlowOfItem[] = {Device::fcNone, Device::fcRtsCts, Device::fcXonXoff,
                                                         Device::fcRtsCtsXonXoff};
  if (CbFlow->currentIndex() < 0) return _Reject(CbFlow, DialogText(kNoFlow));
  s.FlowControl = kFlowOfItem[CbFlow->currentIndex()];
  long value = 0;
  if (!IntegerIn(EditAutoAns, 0, 255, value)) return _Reject(EditAutoAns, DialogText(kBadAAns));
  s.AutoAnswer = static_cast<int>(value);
  if (!IntegerIn(EditInBufSize, kMinBufSize, INT32_MAX, s.InBufSize))
    return _Reject(EditInBufSize, DialogText(kBadInbs));
  if (!IntegerIn(EditOutBufSize, kMinBufSize, INT32_MAX, s.OutBufSize))
    return _Reject(EditOutBufSize, DialogText(kBadOutbs));
  return true;
}

void TForm_VellCommDevice_Settings::_WriteSettings(const TSettings& s, bool active, bool rollBack) {
  Device* d = CommDevice;
  const std::function<void()> steps[] = {
      [&] { d->fSetPortNo(s.PortNo); },           [&] { d->fSetBaud(s.Baud); },
      [&] { d->fSetParity(s.Parity); },           [&] { d->fSetByteSize(s.ByteSize); },
      [&] { d->fSetStopBits(s.StopBits); },       [&] { d->fSetFlowControl(s.FlowControl); },
      [&] { d->fSetAutoAnswer(s.AutoAnswer); },   [&] { d->fSetInBufSize(s.InBufSize); },
      [&] { d->fSetOutBufSize(s.OutBufSize); },   [&] { d->fSetActive(active); },
  };
  for (const auto& step : steps) {
    if (!rollBack) {
      step();
      continue;
    }
    try {
      step();
    } catch (...) {
      // Putting back goes on whatever fails.
    }
  }
}

void TForm_VellCommDevice_Settings::BnOKClick() {
  // Enter moves along the inputs; only the last one (or any other control,
  // such as OK itself) goes on to check and apply.
  QWidget* chain[] = {CbPort, CbSelBaud, CbParity, CbByteSize, CbStopBits, CbFlow, EditAutoAns, EditInBufSize,
                      EditOutBufSize};
  QWidget* focused = focusWidget();
  for (size_t i = 0; i + 1 < std::size(chain); ++i) {
    if (focused == chain[i]) {
      chain[i + 1]->setFocus();
      return;
    }
  }

  TSettings wanted{};
  if (!_CheckEntries(wanted)) return;
  try {
    _WriteSettings(wanted, SavedActive || OpenFlag, false);
  } catch (const std::exception& e) {
    _WriteSettings(Saved, SavedActive, true);
    CbPort->setFocus();
    const auto* commError = dynamic_cast<const EComm32Error*>(&e);
    _ShowStop(commError ? LocaleText(commError->Message().c_str()) : QString::fromLocal8Bit(e.what()));
    return;
  } catch (...) {
    _WriteSettings(Saved, SavedActive, true);
    CbPort->setFocus();
    _ShowStop(QString());
    return;
  }
  accept();
}

void TForm_VellCommDevice_Settings::BnCancelClick() { reject(); }

void TForm_VellCommDevice_Settings::BnDefaultClick() {
  CbSelBaud->setCurrentIndex(Device::br115200);
  CbParity->setCurrentIndex(0);
  CbByteSize->setCurrentIndex(3);
  CbStopBits->setCurrentIndex(0);
  CbFlow->setCurrentIndex(0);
  EditAutoAns->setText(QStringLiteral("0"));
  EditInBufSize->setText(QStringLiteral("8192"));
  EditOutBufSize->setText(QStringLiteral("8192"));
}

void TForm_VellCommDevice_Settings::BnAboutClick() {
  TForm_VELLComm32_About about(this, BareClassName(CommDevice));
  about.exec();
}

}  // namespace QuarlComm32
