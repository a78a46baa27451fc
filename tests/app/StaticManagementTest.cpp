// The static-management group end to end: parameters, the file directory,
// deleting and formatting, through the window over a real pty with the
// receiver simulator on the other side.
#include <gtest/gtest.h>

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <chrono>

#include "RawReplyWait.h"
#include "TestHex.h"
#include "WindowRig.h"

using namespace QuarlComm32;
using z500sim::FrameKind;
using Ms = std::chrono::milliseconds;

namespace {

const QString IntervalTooLarge = QStringLiteral("采集间隔不能大于60秒！");
const QString CutoffTooLarge = QStringLiteral("截止角不能大于89度！");
const QString NotDigits = QStringLiteral("不能输入非数字字符！");
const QString Refreshed = QStringLiteral("已经刷新目录！");

z500sim::DirEntry File(std::string name, std::string ext, uint32_t size = 4096) {
  return z500sim::MakeEntry(name, ext, size, {2026, 3, 1, 9, 30, 0});
}

class StaticManagement : public ReceiverWindowTest {
protected:
  // The simulator answers at once and unpaced; the window's pauses and waits
  // run on `clock` (virtual time unless a test needs the real one). The
  // window is shown, so that clicks land on the grid's rows.
  void Build(z500sim::Options options = {}, std::shared_ptr<Z500::IClock> clock = nullptr) {
    options.unlogged = true;
    options.baud = 0;
    ReceiverWindowTest::Build(options, clock ? clock : std::make_shared<InstantClock>());
    form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
  }

  // Refreshes and waits until `files` are listed and the listing has ended.
  void List(size_t files) {
    const size_t before = Sent(FrameKind::Directory).size();
    form->Button7->click();
    const size_t requests = files / 8 + 1;
    ASSERT_TRUE(PumpUntil(
        [&] {
          return Sent(FrameKind::Directory).size() == before + requests &&
                 static_cast<size_t>(form->FileCount) == files;
        },
        15000))
        << form->FileCount;
    if (files == 0) {
      ASSERT_TRUE(PumpUntil([&] { return !prompts->Messages.empty(); }));
    }
    Pump(150);  // no further request comes
    ASSERT_EQ(Sent(FrameKind::Directory).size(), before + requests);
  }

  // The grid shows exactly the receiver's files, in its order.
  void ExpectGridShowsTheReceiversFiles() {
    const auto files = receiver->Sim->Files();
    ASSERT_EQ(form->FileCount, static_cast<int>(files.size()));
    for (size_t i = 0; i < files.size(); ++i) {
      const int row = static_cast<int>(i) + 1;
      const std::string name = files[i].Name() + "." + files[i].Extension();
      EXPECT_EQ(form->StringGrid1->Cell(0, row), QString::number(row));
      EXPECT_EQ(form->StringGrid1->Cell(1, row), QString::fromLatin1(name.data(), name.size())) << row;
    }
    for (int row = static_cast<int>(files.size()) + 1; row < form->StringGrid1->RowCount(); ++row)
      EXPECT_TRUE(form->StringGrid1->Cell(1, row).isEmpty()) << row;
  }

  // Clicks a row as the user would, optionally with Shift held.
  void ClickRow(int row, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    TStringGrid* grid = form->StringGrid1;
    const QModelIndex index = grid->model()->index(row - 1, 1);
    grid->scrollTo(index);
    QTest::mouseClick(grid->viewport(), Qt::LeftButton, modifiers, grid->visualRect(index).center());
  }
};

TEST_F(StaticManagement, EditBoxesRefuseBadTextAndFallBackToTheirDefaults) {
  Build();
  struct Case {
    QLineEdit* box;
    QString text;
    QString message;  // empty: none
    QString after;
  } cases[] = {
      {form->Edit2, "60", "", "60"},
      {form->Edit2, "61", IntervalTooLarge, "5"},
      {form->Edit3, "89", "", "89"},
      {form->Edit3, "90", CutoffTooLarge, "12"},
      {form->Edit2, "00", "", "00"},
      {form->Edit2, "123", IntervalTooLarge, "5"},  // a third digit is too long, not a non-digit
      {form->Edit3, "12a", CutoffTooLarge, "12"},
      {form->Edit2, "5a", NotDigits, "5"},
      {form->Edit3, "-1", NotDigits, "12"},
      {form->Edit2, QStringLiteral("中"), NotDigits, "5"},  // two bytes in the code page
      {form->Edit2, QStringLiteral("5中"), IntervalTooLarge, "5"},
      {form->Edit3, "", "", ""},
  };
  for (const Case& c : cases) {
    prompts->Messages.clear();
    c.box->setText(c.text);
    EXPECT_EQ(prompts->Messages, c.message.isEmpty() ? std::vector<QString>{} : std::vector<QString>{c.message})
        << c.text.toStdString();
    EXPECT_EQ(c.box->text(), c.after) << c.text.toStdString();
  }

  // Typed key by key: the second digit is checked as it lands.
  prompts->Messages.clear();
  form->Edit2->clear();
  QTest::keyClicks(form->Edit2, "61");
  EXPECT_EQ(prompts->Messages, std::vector<QString>{IntervalTooLarge});
  EXPECT_EQ(form->Edit2->text(), "5");
}

TEST_F(StaticManagement, EveryActionNeedsAnOpenLink) {
  Build();
  const std::pair<QPushButton*, QString> buttons[] = {
      {form->Button5, "串口未打开！"},   {form->Button6, "串口未打开！"},   {form->Button7, "串口没有打开！"},
      {form->Button8, "串口没有打开！"}, {form->Button9, "串口没有打开！"},
  };
  for (auto [button, message] : buttons) {
    prompts->Messages.clear();
    button->click();
    EXPECT_EQ(prompts->Messages, std::vector<QString>{message}) << button->objectName().toStdString();
  }
  EXPECT_TRUE(prompts->Confirmations.empty());
  Pump(100);
  EXPECT_TRUE(receiver->Sim->Frames().empty());
}

TEST_F(StaticManagement, WritingAndReadingBackTheParameters) {
  Build();
  Open();
  form->Edit2->setText("0");
  form->Button6->click();
  EXPECT_EQ(form->Label1->text(), QStringLiteral("已设置截止角和采集间隔参数！"));
  // Cleared boxes are filled with their defaults and those are sent.
  form->Edit2->clear();
  form->Edit3->clear();
  form->Button6->click();
  EXPECT_EQ(form->Edit2->text(), "5");
  EXPECT_EQ(form->Edit3->text(), "12");
  ASSERT_TRUE(receiver->Sim->WaitForFrames(FrameKind::WriteParameters, 2, Ms(3000)));
  const auto writes = Sent(FrameKind::WriteParameters);
  EXPECT_EQ(writes[0].bytes, H("24 24 46 4A 02 00 00 0C 02 0D 0A"));
  EXPECT_EQ(writes[1].bytes, H("24 24 46 4A 02 00 05 0C 07 0D 0A"));

  // The acknowledgements come first: a reply without a pause after them
  // would join their package and go unseen.
  Pump(250);
  form->Edit2->setText("33");
  form->Edit3->setText("44");
  form->Button5->click();  // the receiver holds 5 and 12 from the last write
  ASSERT_TRUE(PumpUntil([&] { return form->Label1->text() == QStringLiteral("已读取设置参数！"); }));
  EXPECT_EQ(Sent(FrameKind::ReadParameters).at(0).bytes, H("24 24 46 4A 00 00 0C 0D 0A"));
  EXPECT_EQ(form->Edit2->text(), "5");
  EXPECT_EQ(form->Edit3->text(), "12");
  EXPECT_TRUE(prompts->Messages.empty());
}

TEST_F(StaticManagement, ParameterRepliesFillTheBoxesThroughTheirChecks) {
  Build();
  Open();
  struct Case {
    const char* reply;
    std::vector<QString> messages;
    QString interval, cutoff, status;
  } cases[] = {
      {"24 24 46 4A 02 00 3C 0F 00 0D 0A", {}, "60", "15", "已读取设置参数！"},
      {"24 24 46 4A 02 00 78 0A 00 0D 0A", {IntervalTooLarge}, "5", "10", "已读取设置参数！"},
      {"24 24 46 4A 02 00 07 FF 00 0D 0A", {CutoffTooLarge}, "7", "12", "已读取设置参数！"},
      {"24 24 46 4A 01 00 09 00 0D 0A", {}, "33", "44", "-"},        // wrong lengths: nothing
      {"24 24 46 4A 03 00 09 09 09 00 0D 0A", {}, "33", "44", "-"},
      {"24 24 46 4A 00 00 0C 0D 0A", {}, "33", "44", "已设置截止角和采集间隔参数！"},
  };
  for (const Case& c : cases) {
    form->Edit2->setText("33");
    form->Edit3->setText("44");
    form->Label1->setText("-");
    prompts->Messages.clear();
    receiver->Sim->Inject(H(c.reply));
    Pump(250);  // the package closes 50 to 100 ms after its last byte
    EXPECT_EQ(prompts->Messages, c.messages) << c.reply;
    EXPECT_EQ(form->Edit2->text(), c.interval) << c.reply;
    EXPECT_EQ(form->Edit3->text(), c.cutoff) << c.reply;
    EXPECT_EQ(form->Label1->text(), c.status) << c.reply;
  }
}

class DirectoryListing : public StaticManagement, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(DirectoryListing, PageByPageUntilAShortPage) {
  const uint32_t files = GetParam();
  z500sim::Options options;
  options.files = files;
  Build(options);
  Open();
  List(files);

  const auto requests = Sent(FrameKind::Directory);
  for (size_t k = 0; k < requests.size(); ++k) {
    const uint16_t index = static_cast<uint16_t>(8 * k);
    const Bytes payload(requests[k].bytes.begin() + 6, requests[k].bytes.begin() + 9);
    EXPECT_EQ(payload, (Bytes{0x08, static_cast<uint8_t>(index), static_cast<uint8_t>(index >> 8)})) << k;
  }
  EXPECT_EQ(form->StringGrid1->RowCount(), std::max<int>(15, files + 1));
  ExpectGridShowsTheReceiversFiles();
  if (files == 0) {
    EXPECT_EQ(prompts->Messages, std::vector<QString>{QStringLiteral("没有记录文件！")});
    EXPECT_EQ(form->Label1->text(), QStringLiteral("没有记录文件！"));
  } else {
    EXPECT_TRUE(prompts->Messages.empty());
    EXPECT_EQ(form->Label1->text(), Refreshed);
  }
}

INSTANTIATE_TEST_SUITE_P(Files, DirectoryListing, ::testing::Values(0u, 8u, 20u, 300u));

TEST_F(StaticManagement, DeleteRefusesABadChoiceBeforeAsking) {
  z500sim::Options options;
  options.files = 40;
  Build(options);
  Open();
  List(40);
  const auto deleteWith = [&](int top, int bottom) {
    prompts->Messages.clear();
    prompts->Confirmations.clear();
    form->GridSelection = {1, top, 3, bottom};
    form->Button8->click();
  };
  prompts->ConfirmAnswer = false;
  const struct {
    int top, bottom;
    QString message;  // empty: the question is asked
  } cases[] = {
      {0, 0, QStringLiteral("没有选中要删除的文件！")},
      {38, 41, QStringLiteral("不要选中没有文件名的记录行！")},
      {41, 41, QStringLiteral("不要选中没有文件名的记录行！")},
      {1, 30, QStringLiteral("一次只能删除少于30个文件！")},
      {2, 30, ""},
  };
  for (const auto& c : cases) {
    deleteWith(c.top, c.bottom);
    if (c.message.isEmpty()) {
      EXPECT_TRUE(prompts->Messages.empty());
      ASSERT_EQ(prompts->Confirmations.size(), 1u);
      EXPECT_EQ(prompts->Confirmations[0].count(QStringLiteral("\r\n")), 30);
    } else {
      EXPECT_EQ(prompts->Messages, std::vector<QString>{c.message}) << c.top << "-" << c.bottom;
      EXPECT_TRUE(prompts->Confirmations.empty());
    }
  }
  Pump(150);
  EXPECT_TRUE(Sent(FrameKind::Delete).empty());  // Cancel sent nothing either
  EXPECT_EQ(receiver->Sim->Files().size(), 40u);
}

TEST_F(StaticManagement, TheUsersSelectionIsRecordedHoweverItWasMade) {
  z500sim::Options options;
  options.files = 20;
  Build(options);
  Open();
  List(20);
  EXPECT_EQ(form->GridSelection, TGridRect{});  // nothing yet, whatever the grid reports

  ClickRow(3);
  EXPECT_EQ(form->GridSelection.Top, 3);
  EXPECT_EQ(form->GridSelection.Bottom, 3);
  ClickRow(6, Qt::ShiftModifier);
  EXPECT_EQ(form->GridSelection.Bottom, 6);
  QTest::keyClick(form->StringGrid1, Qt::Key_Down, Qt::ShiftModifier);
  EXPECT_EQ(form->GridSelection.Top, 3);
  EXPECT_EQ(form->GridSelection.Bottom, 7);

  // A drag from row 9 to row 11.
  TStringGrid* grid = form->StringGrid1;
  const auto center = [&](int row) { return grid->visualRect(grid->model()->index(row - 1, 1)).center(); };
  QTest::mousePress(grid->viewport(), Qt::LeftButton, {}, center(9));
  QTest::mouseMove(grid->viewport(), center(10));
  QTest::mouseMove(grid->viewport(), center(11));
  QTest::mouseRelease(grid->viewport(), Qt::LeftButton, {}, center(11));
  EXPECT_EQ(form->GridSelection.Top, 9);
  EXPECT_EQ(form->GridSelection.Bottom, 11);

  // The program's own changes to the grid leave the choice as it was.
  receiver->Sim->SetFiles({});
  form->Button7->click();
  ASSERT_TRUE(PumpUntil([&] { return !prompts->Messages.empty(); }));
  EXPECT_EQ(form->GridSelection.Top, 9);
  EXPECT_EQ(form->GridSelection.Bottom, 11);
}

TEST_F(StaticManagement, DeleteSendsTheListedNameBytesAndListsAfresh) {
  Build();
  const z500sim::DirEntry high = File("\xC4\xE3" "01 \x80  ", "GNS");
  receiver->Sim->SetFiles({z500sim::MakeEntry("ABCD1234", "XYZ", 0, {2007, 5, 3, 14, 5, 10}),
                           File("ABCD1235", "XYZ"), high, File("BJ010611", "GNS")});
  Open();
  List(4);
  EXPECT_EQ(form->StringGrid1->Cell(2, 1), "1k");
  EXPECT_EQ(form->StringGrid1->Cell(3, 1), QStringLiteral("2007年5月3日14时5分"));

  ClickRow(1);
  ClickRow(2, Qt::ShiftModifier);
  form->Button8->click();
  ASSERT_EQ(prompts->Confirmations.size(), 1u);
  EXPECT_EQ(prompts->Confirmations[0], QStringLiteral("是否删除以下静态文件？\r\nABCD1234.XYZ\r\nABCD1235.XYZ\r\n"));
  ASSERT_TRUE(PumpUntil([&] { return form->Label1->text() == Refreshed && form->FileCount == 2; }));
  EXPECT_EQ(Sent(FrameKind::Delete).at(0).bytes,
            H("24 24 46 44 10 00 41 42 43 44 31 32 33 34 41 42 43 44 31 32 33 35 13 0D 0A"));
  EXPECT_EQ(prompts->Messages, std::vector<QString>{QStringLiteral("删除完毕！")});
  ExpectGridShowsTheReceiversFiles();

  // The name with bytes above 0x7F is now row 1; exactly its bytes go out.
  ASSERT_EQ(form->StringGrid1->Cell(1, 1), QString::fromLatin1("\xC4\xE3" "01 \x80  .GNS"));
  ClickRow(1);
  form->Button8->click();
  ASSERT_TRUE(PumpUntil([&] { return Sent(FrameKind::Delete).size() == 2 && form->FileCount == 1; }));
  const Bytes frame = Sent(FrameKind::Delete)[1].bytes;
  EXPECT_EQ(Bytes(frame.begin() + 6, frame.begin() + 14), Bytes(high.bytes.begin(), high.bytes.begin() + 8));
  ASSERT_EQ(receiver->Sim->Files().size(), 1u);
  EXPECT_EQ(receiver->Sim->Files()[0].Name(), "BJ010611");
  ExpectGridShowsTheReceiversFiles();
}

TEST_F(StaticManagement, FormatWaitsForTheReceiversAnswer) {
  z500sim::Options options;
  options.files = 12;
  options.formatTimeMs = 300;
  Build(options, std::make_shared<Z500::TSteadyClock>());
  Open();
  List(12);

  prompts->ConfirmAnswer = false;
  form->Button9->click();
  EXPECT_EQ(prompts->Confirmations,
            std::vector<QString>{QStringLiteral("格式化会全部删除静态数据，而且不可恢复。是否确定执行格式化操作？")});
  Pump(100);
  EXPECT_TRUE(Sent(FrameKind::Format).empty());

  prompts->ConfirmAnswer = true;
  const auto pressed = std::chrono::steady_clock::now();
  form->Button9->click();
  const auto took = std::chrono::steady_clock::now() - pressed;
  EXPECT_GE(took, Ms(300));
  EXPECT_LT(took, Ms(5000));
  EXPECT_EQ(Sent(FrameKind::Format).at(0).bytes, H("24 24 46 44 00 00 02 0D 0A"));
  EXPECT_EQ(prompts->Messages, std::vector<QString>{QStringLiteral(" 格式化完毕！\r\n请重启静态接收机！\r\n ")});
  EXPECT_EQ(form->Label1->text(), QStringLiteral("格式化完毕！"));
  EXPECT_TRUE(receiver->Sim->Files().empty());
  EXPECT_TRUE(form->StringGrid1->Cell(1, 1).isEmpty());
  EXPECT_EQ(form->FileCount, 12);  // only a refresh starts the count over
  EXPECT_TRUE(form->VellCommDevice1->fGetUsePackage());
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

TEST_F(StaticManagement, FormatWithASilentReceiverFailsAfterSixtySeconds) {
  z500sim::Options options;
  options.silent = true;
  auto clock = std::make_shared<InstantClock>();
  Build(options, clock);
  Open();
  clock->SleepsWithoutHourglass = 0;
  form->Button9->click();
  EXPECT_EQ(prompts->Messages, std::vector<QString>{QStringLiteral("接收机无应答，未能确认格式化完成！")});
  EXPECT_EQ(form->Label1->text(), QStringLiteral("格式化失败，接收机无应答！"));
  EXPECT_GT(form->WaitNow - form->WaitStart, 60000u);
  EXPECT_LE(form->WaitNow - form->WaitStart, 60000u + Z500::RawWaitPollMs);
  EXPECT_EQ(clock->SleepsWithoutHourglass, 0);
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
  EXPECT_TRUE(form->VellCommDevice1->fGetUsePackage());
}

}  // namespace
