// The main window at start: its status line for the ports found, its
// controls and components, the busy lock, and errors no handler caught.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include "Application.h"
#include "WindowRig.h"

using namespace QuarlComm32;

namespace {

std::unique_ptr<TForm1> FormWithPorts(std::vector<int> numbers, bool readable = true) {
  std::vector<TPortEntry> ports;
  for (int n : numbers) ports.push_back({n, "/dev/null"});
  TForm1::TServices services;
  services.Prompts = std::make_shared<FakePrompts>();
  services.Clock = std::make_shared<InstantClock>();
  services.PortMap = std::make_shared<TFixedPortMap>(ports, readable);
  return std::make_unique<TForm1>(services);
}

const QString Prefix = QStringLiteral("请先打开对应串口！可用端口有：");

TEST(MainWindowStart, StatusLineListsThePortsFound) {
  EXPECT_EQ(FormWithPorts({1, 3})->Label1->text(), Prefix + "COM1 COM3 ");
  EXPECT_EQ(FormWithPorts({})->Label1->text(), Prefix);
  EXPECT_EQ(FormWithPorts({}, false)->Label1->text(), QStringLiteral("请先打开对应串口！该电脑无可用串口！"));
}

TEST(MainWindowStart, AtMostNinePortsListedEachByItsFirstFourCharacters) {
  auto form = FormWithPorts({2, 4, 6, 8, 10, 11, 12, 13, 14, 15, 16, 17});
  EXPECT_EQ(form->Label1->text(), Prefix + "COM2 COM4 COM6 COM8 COM1 COM1 COM1 COM1 COM1 ");
  TForm1::TPortSlot names[9];
  ASSERT_EQ(form->ListSerialPorts(names), 9);
  EXPECT_STREQ(names[4].data(), "COM10");
  EXPECT_STREQ(names[8].data(), "COM14");
  EXPECT_EQ(FormWithPorts({}, false)->ListSerialPorts(), -1);
}

TEST(MainWindowStart, ControlsHaveTheirNamesParentsTextsAndPlaces) {
  auto form = FormWithPorts({1});
  EXPECT_EQ(form->windowTitle(), QStringLiteral("VarnexZ500静态接收机管理软件V1.0"));
  EXPECT_EQ(form->size(), QSize(489, 697));
  EXPECT_EQ(form->minimumSize(), form->maximumSize());
  EXPECT_FALSE(form->windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));

  struct Row {
    QWidget* w;
    const char* name;
    QWidget* parent;
    QString text;
    QRect geometry;
  };
  auto text = [](QWidget* w) -> QString {
    if (auto* b = qobject_cast<QPushButton*>(w)) return b->text();
    if (auto* l = qobject_cast<QLabel*>(w)) return l->text();
    if (auto* e = qobject_cast<QLineEdit*>(w)) return e->text();
    if (auto* g = qobject_cast<QGroupBox*>(w)) return g->title();
    if (auto* c = qobject_cast<QComboBox*>(w)) return c->currentText();
    return {};
  };
  TForm1& f = *form;
  const Row rows[] = {
      {f.GroupBox1, "GroupBox1", &f, "串行端口", {8, 8, 473, 65}},
      {f.ComboBox1, "ComboBox1", f.GroupBox1, "COM1", {16, 24, 65, 21}},
      {f.Button1, "Button1", f.GroupBox1, "打开串口", {96, 16, 89, 41}},
      {f.Button17, "Button17", f.GroupBox1, "打开声音", {216, 16, 97, 41}},
      {f.Button2, "Button2", f.GroupBox1, "恢复波特率", {344, 16, 97, 41}},
      {f.GroupBox3, "GroupBox3", &f, "固件升级", {8, 72, 473, 121}},
      {f.Label17, "Label17", f.GroupBox3, "文件：", {16, 16, 36, 25}},
      {f.Edit1, "Edit1", f.GroupBox3, "选择固件文件路径，升级前请关闭接收机！", {56, 16, 385, 21}},
      {f.Label18, "Label18", f.GroupBox3, "进度：", {16, 48, 41, 25}},
      {f.ProgressBar1, "ProgressBar1", f.GroupBox3, "", {56, 48, 385, 17}},
      {f.Button3, "Button3", f.GroupBox3, "选择文件", {120, 72, 105, 41}},
      {f.Button4, "Button4", f.GroupBox3, "开始升级", {256, 72, 105, 41}},
      {f.GroupBox2, "GroupBox2", &f, "静态管理", {8, 256, 473, 385}},
      {f.Label2, "Label2", f.GroupBox2, "采集间隔：", {8, 16, 73, 17}},
      {f.Edit2, "Edit2", f.GroupBox2, "5", {80, 16, 57, 21}},
      {f.Label3, "Label3", f.GroupBox2, "截   止  角：", {8, 40, 65, 17}},
      {f.Edit3, "Edit3", f.GroupBox2, "12", {80, 40, 57, 21}},
      {f.Button5, "Button5", f.GroupBox2, "读回参数", {160, 16, 97, 41}},
      {f.Button6, "Button6", f.GroupBox2, "设置参数", {280, 16, 97, 41}},
      {f.Button7, "Button7", f.GroupBox2, "刷新目录", {40, 64, 113, 41}},
      {f.Button8, "Button8", f.GroupBox2, "删除选中", {192, 64, 97, 41}},
      {f.Button9, "Button9", f.GroupBox2, "格式化/全部删除", {328, 64, 121, 41}},
      {f.StringGrid1, "StringGrid1", f.GroupBox2, "", {8, 112, 457, 257}},
      {f.Label5, "Label5", &f, "提示信息：", {0, 672, 73, 25}},
      {f.Label1, "Label1", &f, "请先打开对应串口！可用端口有：COM1 ", {72, 672, 417, 25}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(r.w->objectName(), QLatin1String(r.name));
    EXPECT_EQ(f.findChild<QWidget*>(QLatin1String(r.name)), r.w);
    EXPECT_EQ(r.w->parentWidget(), r.parent);
    EXPECT_EQ(text(r.w), r.text);
    EXPECT_EQ(r.w->geometry(), r.geometry);
  }
  EXPECT_EQ(f.Label5->palette().color(QPalette::WindowText), QColor(Qt::red));
  EXPECT_EQ(f.Label1->font().pixelSize(), 13);
  EXPECT_EQ(f.Button1->font().pixelSize(), 11);
}

TEST(MainWindowStart, ChooserGridAndProgressBarStartAsDrawn) {
  auto form = FormWithPorts({1});
  QComboBox* combo = form->ComboBox1;
  EXPECT_TRUE(combo->isEditable());
  ASSERT_EQ(combo->count(), 9);
  for (int i = 0; i < 9; ++i) EXPECT_EQ(combo->itemText(i), QStringLiteral("COM%1").arg(i + 1));
  EXPECT_EQ(combo->currentIndex(), -1);

  TStringGrid* grid = form->StringGrid1;
  EXPECT_EQ(grid->ColCount(), 4);
  EXPECT_EQ(grid->RowCount(), 15);
  EXPECT_EQ(grid->verticalHeader()->width(), 30);
  EXPECT_EQ(grid->columnWidth(0), 130);
  EXPECT_EQ(grid->columnWidth(1), 87);
  EXPECT_EQ(grid->columnWidth(2), 179);
  EXPECT_EQ(grid->rowHeight(0), 20);
  EXPECT_EQ(grid->selectionBehavior(), QAbstractItemView::SelectRows);
  grid->SetCell(0, 3, "3");
  grid->SetCell(1, 3, "BJ010601.GNS");
  EXPECT_EQ(grid->Cell(0, 3), "3");
  EXPECT_EQ(grid->Cell(1, 3), "BJ010601.GNS");
  EXPECT_EQ(grid->Cell(1, 0), "");
  grid->selectRow(4);
  grid->setRangeSelected(QTableWidgetSelectionRange(4, 0, 6, 2), true);
  EXPECT_EQ(grid->Selection(), (TGridRect{1, 5, 3, 7}));

  EXPECT_EQ(form->ProgressBar1->minimum(), 0);
  EXPECT_EQ(form->ProgressBar1->maximum(), 100);
  EXPECT_EQ(form->ProgressBar1->value(), 0);
}

TEST(MainWindowStart, TabOrderGoesThroughTheGroupsInTurn) {
  auto form = FormWithPorts({1});
  const QWidget* expected[] = {form->Button1, form->Button2, form->ComboBox1, form->Button17,
                               form->Edit2,   form->Edit3,   form->Button5,   form->Button6,
                               form->Button7, form->Button8, form->Button9,   form->StringGrid1,
                               form->Edit1,   form->Button3, form->Button4};
  QWidget* w = form->Button1;
  for (const QWidget* next : expected) {
    EXPECT_EQ(w, next) << next->objectName().toStdString();
    do {
      w = w->nextInFocusChain();
    } while (w->focusPolicy() == Qt::NoFocus || w->focusProxy());
  }
}

TEST(MainWindowStart, ComponentsAreSetUpAndTheLinkIsClosed) {
  auto form = FormWithPorts({1});
  TVellCommDevice* d = form->VellCommDevice1;
  EXPECT_FALSE(d->fGetActive());
  EXPECT_EQ(d->fGetPortNo(), 1);
  EXPECT_EQ(d->fGetBaud(), TVellCommDevice::br19200);
  EXPECT_EQ(d->fGetByteSize(), 8);
  EXPECT_EQ(d->fGetParity(), TVellCommDevice::ptNoParity);
  EXPECT_EQ(d->fGetStopBits(), TVellCommDevice::sbOneStopBit);
  EXPECT_EQ(d->fGetFlowControl(), TVellCommDevice::fcNone);
  EXPECT_EQ(d->fGetInBufSize(), 8192);
  EXPECT_EQ(d->fGetOutBufSize(), 8192);
  EXPECT_EQ(d->fGetHwInSize(), 1200);
  EXPECT_EQ(d->fGetHwOutSize(), 1200);
  EXPECT_EQ(d->fGetQueueSize(), 16);
  EXPECT_EQ(d->fGetPackageSize(), 4096);
  EXPECT_EQ(d->fGetPackageType(), cptFrameTimeout);
  EXPECT_EQ(d->fGetPackageInterval(), 50);
  EXPECT_TRUE(d->fGetUsePackage());
  EXPECT_TRUE(d->OnPackage);
  EXPECT_EQ(form->Timer2->interval(), 500);
  EXPECT_FALSE(form->Timer2->isActive());
  EXPECT_EQ(form->OpenDialog1.Filter, QStringLiteral("Q5固件文件(*.088.rxf)|*.088.rxf|所有文件(*.*)|*.*"));
  EXPECT_EQ(Z500::QtFileFilter(form->OpenDialog1.Filter),
            QStringLiteral("Q5固件文件(*.088.rxf);;所有文件(*.*)"));
  EXPECT_EQ(Z500::QtFileFilter("Firmware|*.rxf;*.bin"), QStringLiteral("Firmware (*.rxf *.bin)"));
}

TEST(MainWindowLock, LockDisablesExactlyTheNineActionButtons) {
  auto form = FormWithPorts({1});
  QPushButton* actions[] = {form->Button1, form->Button2, form->Button3, form->Button4, form->Button5,
                            form->Button6, form->Button7, form->Button8, form->Button9};
  for (QPushButton* b : actions) EXPECT_TRUE(b->isEnabled());
  form->LockButtons();
  for (QPushButton* b : actions) EXPECT_FALSE(b->isEnabled()) << b->objectName().toStdString();
  for (QWidget* w : std::initializer_list<QWidget*>{form->Button17, form->ComboBox1, form->Edit1, form->Edit2,
                                                   form->Edit3, form->StringGrid1})
    EXPECT_TRUE(w->isEnabled()) << w->objectName().toStdString();
  form->UnlockButtons();
  for (QPushButton* b : actions) EXPECT_TRUE(b->isEnabled());
}

// An object whose handler fails, as a window handler might.
class Failing : public QObject {
protected:
  bool event(QEvent* e) override {
    if (e->type() == QEvent::User) throw std::runtime_error("disk full");
    return QObject::event(e);
  }
};

TEST(MainWindowErrors, AnErrorEscapingAHandlerIsShownAndTheLoopGoesOn) {
  auto* app = static_cast<Z500::TApplication*>(QCoreApplication::instance());
  auto prompts = std::make_shared<FakePrompts>();
  app->SetPrompts(prompts);
  Failing failing;
  QCoreApplication::postEvent(&failing, new QEvent(QEvent::User));
  QCoreApplication::postEvent(&failing, new QEvent(QEvent::User));
  QCoreApplication::processEvents();
  ASSERT_EQ(prompts->Errors.size(), 2u);
  EXPECT_EQ(prompts->Errors[0], "disk full");

  // The serial layer's messages are decoded from their code page.
  try {
    throw EComm32Error(ecOpenPort);
  } catch (...) {
    app->ShowCurrentException();
  }
  ASSERT_EQ(prompts->Errors.size(), 3u);
  EXPECT_EQ(prompts->Errors[2], QString::fromStdString(EComm32Error(ecOpenPort).MessageUtf8()));
  app->SetPrompts(std::make_shared<Z500::TQtPrompts>());
}

}  // namespace
