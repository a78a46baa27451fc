// The main window at start: its status line for the ports found, its
// fixed dialog, its grid, the busy lock and keys, and errors no handler
// caught.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QGroupBox>
#include <QIcon>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
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

// A port map whose ports change, as when an adapter is plugged in.
struct ChangingPortMap : IPortMap {
  std::vector<TPortEntry> Ports;
  bool List(std::vector<TPortEntry>& ports) const override {
    ports = Ports;
    return true;
  }
};

// Each port item's tooltip is its device; an item with none has no tooltip.
// The tips are read again when the list opens. The box's texts stay.
TEST(MainWindowStart, PortItemsShowTheirDeviceAsTooltip) {
  auto map = std::make_shared<ChangingPortMap>();
  map->Ports = {{1, "/dev/null"}, {3, "/tmp/quarl-no-such-ttyV0"}};
  TForm1::TServices services;
  services.Prompts = std::make_shared<FakePrompts>();
  services.Clock = std::make_shared<InstantClock>();
  services.PortMap = map;
  TForm1 form(services);
  const auto tips = [&] {
    QStringList all;
    for (int i = 0; i < form.ComboBox1->count(); ++i) all << form.ComboBox1->itemData(i, Qt::ToolTipRole).toString();
    return all;
  };
  EXPECT_EQ(tips(), QStringList({"/dev/null", "", "/tmp/quarl-no-such-ttyV0", "", "", "", "", "", ""}));
  map->Ports = {{2, "/dev/zero"}, {9, "/dev/null"}};
  form.ComboBox1->showPopup();
  form.ComboBox1->hidePopup();
  EXPECT_EQ(tips(), QStringList({"", "/dev/zero", "", "", "", "", "", "", "/dev/null"}));
  EXPECT_EQ(form.ComboBox1->itemText(8), "COM9");
  EXPECT_EQ(form.ComboBox1->currentText(), "COM1");
}

// A dialog that cannot be resized, minimised or closed with Escape, with no
// port chosen and the link closed.
TEST(MainWindowStart, FixedSizeDialogWithTheLinkClosed) {
  auto form = FormWithPorts({1});
  EXPECT_EQ(form->minimumSize(), form->maximumSize());
  EXPECT_FALSE(form->windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));
  EXPECT_EQ(form->ComboBox1->currentIndex(), -1);
  EXPECT_FALSE(form->VellCommDevice1->fGetActive());
  EXPECT_FALSE(form->Timer2->isActive());

  // Escape, which would close a plain dialog and with it the program, is ignored.
  form->show();
  QTest::keyClick(form.get(), Qt::Key_Escape);
  EXPECT_TRUE(form->isVisible());
}

// Each group's caption sits on its frame's top line: the line is drawn at a
// row that crosses the caption's text, and it stops short of the caption.
TEST(MainWindowStart, GroupCaptionsSitOnTheFrameLine) {
  auto form = FormWithPorts({1});
  form->show();
  for (QGroupBox* group : {form->GroupBox1, form->GroupBox3, form->GroupBox2}) {
    const QImage image = form->grab(group->geometry()).toImage();
    const QColor face = form->palette().color(QPalette::Window);
    const int textWidth = group->fontMetrics().horizontalAdvance(group->title());
    // The frame line: the first row whose right half differs from the face.
    int line = -1;
    for (int y = 0; y < image.height() / 2 && line < 0; ++y) {
      int drawn = 0;
      for (int x = image.width() / 2; x < image.width() - 8; ++x) drawn += image.pixelColor(x, y) != face;
      if (drawn > (image.width() / 2 - 8) * 9 / 10) line = y;
    }
    SCOPED_TRACE(group->objectName().toStdString());
    ASSERT_GE(line, 0);
    const int textHeight = group->fontMetrics().height();
    EXPECT_GT(line, textHeight / 4);
    EXPECT_LT(line, textHeight * 3 / 4);
    // Under the caption the line is broken: the caption's background covers it.
    int onCaption = 0;
    for (int x = 12; x < 8 + textWidth; ++x) onCaption += image.pixelColor(x, line) != face;
    EXPECT_LT(onCaption, textWidth * 3 / 4);
  }
}

// Cells are addressed column first, the fixed row and column (the headers)
// counting as row 0 and column 0.
TEST(MainWindowStart, GridCellsAreAddressedColumnFirstCountingTheHeaders) {
  auto form = FormWithPorts({1});
  TStringGrid* grid = form->StringGrid1;
  EXPECT_EQ(grid->ColCount(), 4);
  EXPECT_EQ(grid->RowCount(), 15);
  grid->SetCell(0, 3, "3");
  grid->SetCell(1, 3, "BJ010601.GNS");
  EXPECT_EQ(grid->Cell(0, 3), "3");
  EXPECT_EQ(grid->Cell(1, 3), "BJ010601.GNS");
  EXPECT_EQ(grid->item(2, 0)->text(), "BJ010601.GNS");
  EXPECT_EQ(grid->Cell(1, 0), "");
  grid->setRangeSelected(QTableWidgetSelectionRange(4, 0, 6, 2), true);
  EXPECT_EQ(grid->Selection(), (TGridRect{1, 5, 3, 7}));
  grid->SetRowCount(20);
  grid->SetCell(0, 19, "19");
  EXPECT_EQ(grid->Cell(0, 19), "19");
}

TEST(MainWindowStart, FileFilterReachesQtsDialogInItsForm) {
  auto form = FormWithPorts({1});
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

// Enter, either key, presses the focused button as Space does: its handler
// runs (with the link closed each one shows a box, or the file dialog). It
// presses nothing from an edit box, the port chooser or the grid, although a
// button had the focus just before; nor a disabled button; nor again while
// the key is held.
TEST(MainWindowKeys, EnterPressesTheFocusedButtonOnly) {
  auto prompts = std::make_shared<FakePrompts>();
  TForm1::TServices services;
  services.Prompts = prompts;
  services.Clock = std::make_shared<InstantClock>();
  services.PortMap = std::make_shared<TFixedPortMap>(std::vector<TPortEntry>{{1, "/nonexistent/ttyQ"}});
  TForm1 form(services);
  QStringList pressed;
  for (QPushButton* b : form.findChildren<QPushButton*>())
    QObject::connect(b, &QPushButton::clicked, [&pressed, b] { pressed << b->objectName(); });
  form.show();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&form));

  const struct {
    const char* focus;
    Qt::Key key;
    Qt::KeyboardModifiers modifiers;
    int repeats;  // auto-repeated presses after the first
    bool locked;
    const char* pressed;  // the buttons whose click ran
  } cases[] = {
      {"Button1", Qt::Key_Return, Qt::NoModifier, 0, false, "Button1"},
      {"Button17", Qt::Key_Return, Qt::NoModifier, 0, false, "Button17"},
      {"Button2", Qt::Key_Enter, Qt::KeypadModifier, 0, false, "Button2"},
      {"Button3", Qt::Key_Return, Qt::NoModifier, 0, false, "Button3"},
      {"Button4", Qt::Key_Enter, Qt::KeypadModifier, 0, false, "Button4"},
      {"Button5", Qt::Key_Return, Qt::NoModifier, 0, false, "Button5"},
      {"Button6", Qt::Key_Return, Qt::NoModifier, 0, false, "Button6"},
      {"Button7", Qt::Key_Return, Qt::NoModifier, 0, false, "Button7"},
      {"Button8", Qt::Key_Return, Qt::NoModifier, 0, false, "Button8"},
      {"Button9", Qt::Key_Enter, Qt::KeypadModifier, 0, false, "Button9"},
      {"Button7", Qt::Key_Space, Qt::NoModifier, 0, false, "Button7"},
      {"Button5", Qt::Key_Return, Qt::NoModifier, 3, false, "Button5"},
      {"Button5", Qt::Key_Return, Qt::NoModifier, 0, true, ""},
      {"Button6", Qt::Key_Return, Qt::ControlModifier, 0, false, ""},
      {"Edit2", Qt::Key_Return, Qt::NoModifier, 0, false, ""},
      {"Edit1", Qt::Key_Enter, Qt::KeypadModifier, 0, false, ""},
      {"ComboBox1", Qt::Key_Return, Qt::NoModifier, 0, false, ""},
      {"StringGrid1", Qt::Key_Return, Qt::NoModifier, 0, false, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.focus << " key " << c.key << " repeats " << c.repeats
                                      << (c.locked ? " locked" : ""));
    pressed.clear();
    prompts->Messages.clear();
    prompts->Filters.clear();
    auto* target = form.findChild<QWidget*>(c.focus);
    ASSERT_NE(target, nullptr);
    form.Button17->setFocus();
    target->setFocus();
    if (c.locked) form.LockButtons();
    for (int i = 0; i <= c.repeats; ++i) {
      QKeyEvent press(QEvent::KeyPress, c.key, c.modifiers, QString(), i > 0);
      QApplication::sendEvent(target, &press);
    }
    QTest::keyRelease(target, c.key, c.modifiers);
    form.UnlockButtons();
    EXPECT_EQ(pressed.join(' ').toStdString(), c.pressed);
    // Each click ran its handler, which showed one box or the file dialog.
    EXPECT_EQ(prompts->Messages.size() + prompts->Filters.size(), static_cast<size_t>(pressed.size()));
  }
  EXPECT_FALSE(form.VellCommDevice1->fGetActive());
}

// The menu entry's icon is built in and drawn (through Qt's SVG plugin) at
// the sizes desktops ask for; the window is matched to the entry by its name.
TEST(MainWindowStart, WindowsCarryTheMenuEntrysIcon) {
  EXPECT_EQ(QGuiApplication::desktopFileName(), QStringLiteral("z500-manager"));
  auto form = FormWithPorts({1});
  const QIcon icon = form->windowIcon();
  ASSERT_FALSE(icon.isNull());
  for (int size : {16, 32, 256}) {
    const QImage image = icon.pixmap(size, size).toImage();
    ASSERT_EQ(image.size(), QSize(size, size)) << size;
    // Opaque in the middle: the picture was drawn, not an empty frame.
    EXPECT_EQ(qAlpha(image.pixel(size / 2, size / 2)), 255) << size;
  }
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
