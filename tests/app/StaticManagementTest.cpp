// The static-management group end to end: parameters, the file directory,
// deleting and formatting, through the window over a real pty with the
// receiver simulator on the other side.
#include <gtest/gtest.h>

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <chrono>
#include <functional>

#include "RawReplyWait.h"
#include "receiver/TestHex.h"
#include "WindowRig.h"

using z500sim::FrameKind;
using Ms = std::chrono::milliseconds;
using Texts = std::vector<QString>;

namespace {

const QString IntervalTooLarge = QStringLiteral("采集间隔不能大于60秒！");
const QString NotDigits = QStringLiteral("不能输入非数字字符！");
const QString Refreshed = QStringLiteral("已经刷新目录！");

z500sim::DirEntry File(std::string name, std::string ext, uint32_t size = 4096) {
  return z500sim::MakeEntry(name, ext, size, {2026, 3, 1, 9, 30, 0});
}

class StaticManagement : public ReceiverWindowTest {
protected:
  // The simulator holds `files`, answers unpaced, and the link is open. The
  // window's pauses run on `clock` (virtual time by default); it is shown,
  // so that clicks land on the grid's rows.
  void Build(uint32_t files = 0, z500sim::Options options = {}, std::shared_ptr<Z500::IClock> clock = nullptr) {
    options.files = files;
    options.unlogged = true;
    options.baud = 0;
    ReceiverWindowTest::Build(options, clock ? clock : std::make_shared<InstantClock>());
    form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    Open();
  }

  // Refreshes and waits until `files` are listed and no further request comes.
  void List(size_t files) {
    const size_t requests = Sent(FrameKind::Directory).size() + files / 8 + 1;
    form->Button7->click();
    ASSERT_TRUE(PumpUntil(
        [&] { return Sent(FrameKind::Directory).size() == requests && form->FileCount == int(files); }, 15000));
    ASSERT_TRUE(files > 0 || PumpUntil([&] { return !prompts->Messages.empty(); }));
    Pump(150);
    ASSERT_EQ(Sent(FrameKind::Directory).size(), requests);
  }

  // The grid shows exactly the receiver's files, in its order, and no more.
  void ExpectGridShowsTheReceiversFiles() {
    const auto files = receiver->Sim->Files();
    ASSERT_EQ(form->FileCount, int(files.size()));
    for (int row = 1; row < form->StringGrid1->RowCount(); ++row) {
      std::string name;
      if (row <= int(files.size())) name = files[row - 1].Name() + "." + files[row - 1].Extension();
      EXPECT_EQ(form->StringGrid1->Cell(1, row), QString::fromLatin1(name.data(), name.size())) << row;
      EXPECT_EQ(form->StringGrid1->Cell(0, row), name.empty() ? "" : QString::number(row)) << row;
    }
  }

  // Clicks a row as the user would, optionally with Shift held.
  void ClickRow(int row, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    const QModelIndex index = form->StringGrid1->model()->index(row - 1, 1);
    form->StringGrid1->scrollTo(index);
    QTest::mouseClick(form->StringGrid1->viewport(), Qt::LeftButton, modifiers,
                      form->StringGrid1->visualRect(index).center());
  }
};

TEST(StaticManagementClosed, EveryActionNeedsAnOpenLink) {
  TForm1::TServices services;
  auto prompts = std::make_shared<FakePrompts>();
  services.Prompts = prompts;
  TForm1 form(services);
  for (QPushButton* b : {form.Button5, form.Button6, form.Button7, form.Button8, form.Button9}) b->click();
  EXPECT_EQ(prompts->Messages, (Texts{"串口未打开！", "串口未打开！", "串口没有打开！", "串口没有打开！", "串口没有打开！"}));
  EXPECT_TRUE(prompts->Confirmations.empty());
}

TEST_F(StaticManagement, EditBoxesRefuseBadTextAndFallBackToTheirDefaults) {
  Build();
  const struct {
    QLineEdit* box;
    QString text, message, after;  // message empty: none
  } cases[] = {
      {form->Edit2, "60", "", "60"},
      {form->Edit2, "61", IntervalTooLarge, "5"},
      {form->Edit3, "90", QStringLiteral("截止角不能大于89度！"), "12"},
      {form->Edit2, "123", IntervalTooLarge, "5"},  // a third digit is too long, not a non-digit
      {form->Edit2, "5a", NotDigits, "5"},
      {form->Edit2, QStringLiteral("中"), NotDigits, "5"},  // two bytes in the code page
      {form->Edit2, QStringLiteral("5中"), IntervalTooLarge, "5"},
      {form->Edit3, "", "", ""},
  };
  for (const auto& c : cases) {
    prompts->Messages.clear();
    c.box->setText(c.text);
    EXPECT_EQ(prompts->Messages, c.message.isEmpty() ? Texts{} : Texts{c.message}) << c.text.toStdString();
    EXPECT_EQ(c.box->text(), c.after) << c.text.toStdString();
  }
  // Typed key by key: the second digit is checked as it lands.
  prompts->Messages.clear();
  form->Edit2->clear();
  QTest::keyClicks(form->Edit2, "61");
  EXPECT_EQ(prompts->Messages, Texts{IntervalTooLarge});
  EXPECT_EQ(form->Edit2->text(), "5");
}

TEST_F(StaticManagement, WritingAndReadingBackTheParameters) {
  Build();
  form->Edit2->setText("0");
  form->Button6->click();
  EXPECT_EQ(form->Label1->text(), QStringLiteral("已设置截止角和采集间隔参数！"));
  // Cleared boxes are filled with their defaults and those are sent.
  form->Edit2->clear();
  form->Edit3->clear();
  form->Button6->click();
  EXPECT_EQ(form->Edit2->text() + form->Edit3->text(), "512");
  ASSERT_TRUE(receiver->Sim->WaitForFrames(FrameKind::WriteParameters, 2, Ms(3000)));
  EXPECT_EQ(Sent(FrameKind::WriteParameters)[0].bytes, H("24 24 46 4A 02 00 00 0C 02 0D 0A"));
  EXPECT_EQ(Sent(FrameKind::WriteParameters)[1].bytes, H("24 24 46 4A 02 00 05 0C 07 0D 0A"));

  // The acknowledgements first: a reply right after them would join their package.
  Pump(250);
  form->Edit2->setText("33");
  form->Button5->click();  // the receiver holds 5 and 12 from the last write
  ASSERT_TRUE(PumpUntil([&] { return form->Label1->text() == QStringLiteral("已读取设置参数！"); }));
  EXPECT_EQ(Sent(FrameKind::ReadParameters).at(0).bytes, H("24 24 46 4A 00 00 0C 0D 0A"));
  EXPECT_EQ(form->Edit2->text(), "5");
  EXPECT_TRUE(prompts->Messages.empty());
}

TEST_F(StaticManagement, ParameterRepliesFillTheBoxesThroughTheirChecks) {
  Build();
  const struct {
    const char* reply;
    Texts messages;
    QString boxes, status;  // the two boxes' texts joined by '/'
  } cases[] = {
      {"24 24 46 4A 02 00 3C 0F 00 0D 0A", {}, "60/15", "已读取设置参数！"},
      {"24 24 46 4A 02 00 78 0A 00 0D 0A", {IntervalTooLarge}, "5/10", "已读取设置参数！"},
      {"24 24 46 4A 01 00 09 00 0D 0A", {}, "33/44", "-"},  // a wrong length: nothing
      {"24 24 46 4A 00 00 0C 0D 0A", {}, "33/44", "已设置截止角和采集间隔参数！"},
  };
  for (const auto& c : cases) {
    form->Edit2->setText("33");
    form->Edit3->setText("44");
    form->Label1->setText("-");
    prompts->Messages.clear();
    receiver->Sim->Inject(H(c.reply));
    Pump(250);  // the package closes 50 to 100 ms after its last byte
    EXPECT_EQ(prompts->Messages, c.messages) << c.reply;
    EXPECT_EQ(form->Edit2->text() + "/" + form->Edit3->text(), c.boxes) << c.reply;
    EXPECT_EQ(form->Label1->text(), c.status) << c.reply;
  }
}

class DirectoryListing : public StaticManagement, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(DirectoryListing, PageByPageUntilAShortPage) {
  const uint32_t files = GetParam();
  Build(files);
  List(files);
  const auto requests = Sent(FrameKind::Directory);
  for (size_t k = 0; k < requests.size(); ++k)
    EXPECT_EQ(Bytes(requests[k].bytes.begin() + 6, requests[k].bytes.begin() + 9),
              (Bytes{0x08, uint8_t(8 * k), uint8_t((8 * k) >> 8)}));
  EXPECT_EQ(form->StringGrid1->RowCount(), std::max<int>(15, files + 1));
  ExpectGridShowsTheReceiversFiles();
  const QString status = files == 0 ? QStringLiteral("没有记录文件！") : Refreshed;
  EXPECT_EQ(prompts->Messages, files == 0 ? Texts{status} : Texts{});
  EXPECT_EQ(form->Label1->text(), status);
}

INSTANTIATE_TEST_SUITE_P(Files, DirectoryListing, ::testing::Values(0u, 8u, 20u, 300u));

// A listing that stops short says why in the status line, never that the
// list was read, and asks for nothing more: a receiver that answers every
// request with its first page, a page cut by a pause in the line each time
// it is asked for, a page that never comes (five seconds on the window's
// clock). A page that comes after the listing gave up is not listed.
TEST_F(StaticManagement, AListingThatStopsShortSaysWhyAndAsksNoMore) {
  const struct {
    const char* name;
    std::function<void(z500sim::Options&)> fault;
    size_t requests;
    int listed;
    bool lost;  // the second page never comes
    QString status;
  } cases[] = {
      {"repeatedPage", [](auto& o) { o.repeatPage = true; }, 2, 8, false,
       QStringLiteral("接收机重复发送同一目录页，列表不完整！")},
      {"cutPage", [](auto& o) { o.splitAnswers = true; }, 1 + Z500::MaxCutPageRetries, 0, false,
       QStringLiteral("目录数据有误，列表不完整！")},
      {"lostPage", [](auto& o) { o.dropAnswers = {2}; }, 2, 8, true, QStringLiteral("目录读取不完整，接收机无应答！")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    z500sim::Options options;
    c.fault(options);
    auto clock = std::make_shared<InstantClock>();
    form.reset();
    Build(20, options, clock);
    form->Button7->click();
    ASSERT_TRUE(PumpUntil([&] { return Sent(FrameKind::Directory).size() == c.requests; }, 5000));
    Pump(400);  // whatever else the line brings
    if (c.lost) {
      EXPECT_EQ(form->Label1->text(), Refreshed);  // the first page was read
      form->Button7->click();  // the listing under way goes on: no second listing mixed into it
      clock->Now += Z500::DirectoryPageTimeoutMs;
    }
    EXPECT_TRUE(PumpUntil([&] { return form->Label1->text() == c.status; })) << form->Label1->text().toStdString();
    Bytes late;
    for (const auto& file : receiver->Sim->Files()) late.insert(late.end(), file.bytes.begin(), file.bytes.end());
    form->Routes.DirectoryPage(256, std::span(late).first(256));
    Pump(100);
    EXPECT_EQ(Sent(FrameKind::Directory).size(), c.requests);
    EXPECT_EQ(form->FileCount, c.listed);
    EXPECT_EQ(form->Label1->text(), c.status);
    EXPECT_TRUE(prompts->Messages.empty());
    if (c.lost) {  // the receiver answers again: a refresh lists it whole
      List(20);
      ExpectGridShowsTheReceiversFiles();
      EXPECT_EQ(form->Label1->text(), Refreshed);
    }
  }
}

// A page asked for on a link that was closed is not awaited on the next
// one: a refresh there lists afresh at once.
TEST_F(StaticManagement, ARefreshOnAReopenedLinkIsNotHeldByTheOldOne) {
  z500sim::Options options;
  options.dropAnswers = {1};
  Build(20, options, std::make_shared<InstantClock>());
  form->Button7->click();
  ASSERT_TRUE(PumpUntil([&] { return Sent(FrameKind::Directory).size() == 1; }, 5000));
  form->Button1->click();  // closed
  form->Button1->click();  // and opened again at once
  form->Button7->click();
  EXPECT_TRUE(PumpUntil([&] { return Sent(FrameKind::Directory).size() == 2; }, 5000));
}

TEST_F(StaticManagement, DeleteRefusesABadChoiceBeforeAsking) {
  Build(40);
  List(40);
  prompts->ConfirmAnswer = false;
  const struct {
    int top, bottom;
    QString message;  // empty: the question is asked
  } cases[] = {
      {0, 0, QStringLiteral("没有选中要删除的文件！")},
      {38, 41, QStringLiteral("不要选中没有文件名的记录行！")},
      {1, 30, QStringLiteral("一次只能删除少于30个文件！")},
      {2, 30, ""},
  };
  for (const auto& c : cases) {
    prompts->Messages.clear();
    prompts->Confirmations.clear();
    form->GridSelection = {1, c.top, 3, c.bottom};
    form->Button8->click();
    EXPECT_EQ(prompts->Messages, c.message.isEmpty() ? Texts{} : Texts{c.message}) << c.top << "-" << c.bottom;
    EXPECT_EQ(prompts->Confirmations.size(), c.message.isEmpty() ? 1u : 0u);
  }
  EXPECT_EQ(prompts->Confirmations.at(0).count(QStringLiteral("\r\n")), 30);  // the question and 29 names
  Pump(150);
  EXPECT_TRUE(Sent(FrameKind::Delete).empty());  // Cancel sent nothing either
}

TEST_F(StaticManagement, TheUsersSelectionIsRecordedHoweverItWasMade) {
  Build(20);
  List(20);
  EXPECT_EQ(form->GridSelection, TGridRect{});  // nothing yet, whatever the grid reports
  const auto rows = [&] { return std::pair(form->GridSelection.Top, form->GridSelection.Bottom); };
  ClickRow(3);
  EXPECT_EQ(rows(), std::pair(3, 3));
  ClickRow(6, Qt::ShiftModifier);
  QTest::keyClick(form->StringGrid1, Qt::Key_Down, Qt::ShiftModifier);
  EXPECT_EQ(rows(), std::pair(3, 7));

  // A drag from row 9 to row 11.
  TStringGrid* grid = form->StringGrid1;
  const auto center = [&](int row) { return grid->visualRect(grid->model()->index(row - 1, 1)).center(); };
  QTest::mousePress(grid->viewport(), Qt::LeftButton, {}, center(9));
  QTest::mouseMove(grid->viewport(), center(10));
  QTest::mouseMove(grid->viewport(), center(11));
  QTest::mouseRelease(grid->viewport(), Qt::LeftButton, {}, center(11));
  EXPECT_EQ(rows(), std::pair(9, 11));

  // The program's own changes to the grid leave the choice as it was.
  receiver->Sim->SetFiles({});
  List(0);
  EXPECT_EQ(rows(), std::pair(9, 11));
}

TEST_F(StaticManagement, DeleteSendsTheListedNameBytesAndListsAfresh) {
  const z500sim::DirEntry high = File("\xC4\xE3" "01 \x80  ", "GNS");
  Build();
  receiver->Sim->SetFiles({z500sim::MakeEntry("ABCD1234", "XYZ", 0, {2007, 5, 3, 14, 5, 10}),
                           File("ABCD1235", "XYZ"), high, File("BJ010611", "GNS")});
  List(4);
  EXPECT_EQ(form->StringGrid1->Cell(2, 1), "1k");
  EXPECT_EQ(form->StringGrid1->Cell(3, 1), QStringLiteral("2007年5月3日14时5分"));

  ClickRow(1);
  ClickRow(2, Qt::ShiftModifier);
  form->Button8->click();
  EXPECT_EQ(prompts->Confirmations, Texts{QStringLiteral("是否删除以下静态文件？\r\nABCD1234.XYZ\r\nABCD1235.XYZ\r\n")});
  ASSERT_TRUE(PumpUntil([&] { return form->Label1->text() == Refreshed && form->FileCount == 2; }));
  EXPECT_EQ(Sent(FrameKind::Delete).at(0).bytes,
            H("24 24 46 44 10 00 41 42 43 44 31 32 33 34 41 42 43 44 31 32 33 35 13 0D 0A"));
  EXPECT_EQ(prompts->Messages, Texts{QStringLiteral("删除完毕！")});
  ExpectGridShowsTheReceiversFiles();

  // The name with bytes above 0x7F is now row 1; exactly its bytes go out.
  ASSERT_EQ(form->StringGrid1->Cell(1, 1), QString::fromLatin1("\xC4\xE3" "01 \x80  .GNS"));
  ClickRow(1);
  form->Button8->click();
  ASSERT_TRUE(PumpUntil([&] { return Sent(FrameKind::Delete).size() == 2 && form->FileCount == 1; }));
  const Bytes frame = Sent(FrameKind::Delete)[1].bytes;
  EXPECT_EQ(Bytes(frame.begin() + 6, frame.begin() + 14), Bytes(high.bytes.begin(), high.bytes.begin() + 8));
  EXPECT_EQ(receiver->Sim->Files().at(0).Name(), "BJ010611");
  ExpectGridShowsTheReceiversFiles();
}

TEST_F(StaticManagement, FormatWaitsForTheReceiversAnswer) {
  z500sim::Options options;
  options.formatTimeMs = 300;
  Build(12, options, std::make_shared<Z500::TSteadyClock>());
  List(12);
  prompts->ConfirmAnswer = false;
  form->Button9->click();
  EXPECT_EQ(prompts->Confirmations, Texts{QStringLiteral("格式化会全部删除静态数据，而且不可恢复。是否确定执行格式化操作？")});

  prompts->ConfirmAnswer = true;
  const auto pressed = std::chrono::steady_clock::now();
  form->Button9->click();
  const auto took = std::chrono::steady_clock::now() - pressed;
  EXPECT_GE(took, Ms(300));
  EXPECT_LT(took, Ms(5000));
  ASSERT_EQ(Sent(FrameKind::Format).size(), 1u);  // none for the cancelled one
  EXPECT_EQ(Sent(FrameKind::Format)[0].bytes, H("24 24 46 44 00 00 02 0D 0A"));
  EXPECT_EQ(prompts->Messages, Texts{QStringLiteral(" 格式化完毕！\r\n请重启静态接收机！\r\n ")});
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
  Build(0, options, clock);
  clock->SleepsWithoutHourglass = 0;
  form->Button9->click();
  EXPECT_EQ(prompts->Messages, Texts{QStringLiteral("接收机无应答，未能确认格式化完成！")});
  EXPECT_EQ(form->Label1->text(), QStringLiteral("格式化失败，接收机无应答！"));
  EXPECT_GT(form->WaitNow - form->WaitStart, 60000u);
  EXPECT_LE(form->WaitNow - form->WaitStart, 60000u + Z500::RawWaitPollMs);
  EXPECT_EQ(clock->SleepsWithoutHourglass, 0);
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
  EXPECT_TRUE(form->VellCommDevice1->fGetUsePackage());
}

TEST_F(StaticManagement, AFormatAnswerAfterTheWaitGaveUpIsNoDeletion) {
  z500sim::Options options;
  options.dropAnswers = {2};  // the format's: the test gives it late itself
  Build(3, options);
  List(3);
  const size_t requests = Sent(FrameKind::Directory).size();
  prompts->Messages.clear();
  form->Button9->click();
  ASSERT_EQ(prompts->Messages, Texts{QStringLiteral("接收机无应答，未能确认格式化完成！")});

  int routed = 0;
  auto deleteFinished = form->Routes.DeleteFinished;
  form->Routes.DeleteFinished = [&] {
    ++routed;
    deleteFinished();
  };
  receiver->Sim->Inject(H("24 24 46 44 00 00 02 0D 0A"));
  ASSERT_TRUE(PumpUntil([&] { return routed == 1; }, 5000));
  Pump(200);
  EXPECT_EQ(prompts->Messages, Texts{QStringLiteral("接收机无应答，未能确认格式化完成！")});
  EXPECT_EQ(form->Label1->text(), QStringLiteral("格式化失败，接收机无应答！"));
  EXPECT_EQ(Sent(FrameKind::Directory).size(), requests);
  EXPECT_FALSE(form->DeleteOutstanding);
}

}  // namespace
