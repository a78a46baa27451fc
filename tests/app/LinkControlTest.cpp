// The serial link group end to end: the window over a real pty with the
// receiver simulator on the other side.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "EComm32Error.h"
#include "PortState.h"
#include "QuitSignals.h"
#include "RawReplyWait.h"
#include "WindowRig.h"

using namespace QuarlComm32;
using z500sim::FrameKind;
using Ms = std::chrono::milliseconds;

namespace {

const z500sim::Bytes Unlog{0x75, 0x6E, 0x6C, 0x6F, 0x67, 0x61, 0x6C, 0x6C,
                           0x20, 0x63, 0x6F, 0x6D, 0x31, 0x0D, 0x0A, 0x00};

class LinkControl : public ReceiverWindowTest {
protected:
  // COM1 and COM9 lead to the simulator, COM5 nowhere.
  void Build(z500sim::Options options = {}, std::shared_ptr<Z500::IClock> clock = nullptr) {
    options.logPeriodMs = 200;
    ReceiverWindowTest::Build(options, clock ? clock : std::make_shared<Z500::TSteadyClock>(),
                              {{5, "/nonexistent/ttyZ5"}, {9, ""}});
  }
};

TEST_F(LinkControl, OpeningSendsUnlogTwiceAndThePeriodicOutputStops) {
  Build();
  ASSERT_TRUE(receiver->Sim->Logging());
  const auto pressed = z500sim::Clock::now();
  Open();
  EXPECT_EQ(form->Button1->text(), QStringLiteral("关闭串口"));
  EXPECT_EQ(form->Label1->text(), QStringLiteral("已打开串口1"));
  // The handler pauses 700 ms in all before it returns.
  EXPECT_GE(z500sim::Clock::now() - pressed, Ms(690));

  ASSERT_TRUE(receiver->Sim->WaitForFrames(FrameKind::Unlog, 2, Ms(2000)));
  const auto unlogs = receiver->FramesOf(FrameKind::Unlog);
  ASSERT_EQ(unlogs.size(), 2u);
  EXPECT_EQ(unlogs[0].bytes, Unlog);
  EXPECT_EQ(unlogs[1].bytes, Unlog);
  const auto first = std::chrono::duration_cast<Ms>(unlogs[0].at - pressed).count();
  const auto apart = std::chrono::duration_cast<Ms>(unlogs[1].at - unlogs[0].at).count();
  EXPECT_GE(first, 95);
  EXPECT_LT(first, 400);
  // A late read of the first one shortens the gap on a loaded machine; no
  // pause at all would leave it near 0.
  EXPECT_GE(apart, 50);
  EXPECT_LT(apart, 300);

  EXPECT_FALSE(receiver->Sim->Logging());
  const uint64_t sent = receiver->Sim->BytesSent();
  Pump(500);  // more than two periods of the position sentence
  EXPECT_EQ(receiver->Sim->BytesSent(), sent);
  EXPECT_TRUE(prompts->Messages.empty());
}

TEST_F(LinkControl, PortFollowsTheChosenItemNeverTheTypedTextAndClosingReopens) {
  Build();
  Open();  // untouched chooser
  EXPECT_EQ(form->VellCommDevice1->fGetPortNo(), 1);
  form->Button1->click();  // closes the link
  EXPECT_FALSE(form->VellCommDevice1->fGetActive());
  EXPECT_EQ(form->Button1->text(), QStringLiteral("打开串口"));
  EXPECT_EQ(form->Label1->text(), QStringLiteral("已关闭串口!"));

  // Typed by hand, confirmed with Enter, then the button pressed.
  QLineEdit* typed = form->ComboBox1->lineEdit();
  typed->selectAll();
  QTest::keyClicks(typed, "COM5");
  QTest::keyClick(typed, Qt::Key_Return);
  QTest::mouseClick(form->Button1, Qt::LeftButton);
  ASSERT_TRUE(form->VellCommDevice1->fGetActive());
  EXPECT_EQ(form->ComboBox1->currentText(), "COM5");
  EXPECT_EQ(form->Label1->text(), QStringLiteral("已打开串口1"));
  form->Button1->click();

  form->ComboBox1->setCurrentIndex(8);
  Open();
  EXPECT_EQ(form->VellCommDevice1->fGetPortNo(), 9);
  EXPECT_EQ(form->Label1->text(), QStringLiteral("已打开串口9"));
  EXPECT_TRUE(receiver->Sim->WaitForFrames(FrameKind::Unlog, 6, Ms(2000)));
}

TEST_F(LinkControl, FailedOpenShowsTheEngineMessageAndLeavesTheLinkClosed) {
  Build();
  form->ComboBox1->setCurrentIndex(4);  // COM5: no such device
  form->Button1->click();
  ASSERT_EQ(prompts->Messages.size(), 1u);
  EXPECT_EQ(prompts->Messages[0], QStringLiteral("打开串口时发生错误： ") +
                                      QString::fromStdString(EComm32Error(ecOpenPort).MessageUtf8()) +
                                      QStringLiteral("\r\n可能该串口不存在或正在使用中！"));
  EXPECT_EQ(form->Button1->text(), QStringLiteral("打开串口"));
  EXPECT_EQ(form->Label1->text(), QStringLiteral("请先打开对应串口！可用端口有：COM1 COM5 COM9 "));
  EXPECT_FALSE(form->VellCommDevice1->fGetActive());
  EXPECT_TRUE(receiver->FramesOf(FrameKind::Unlog).empty());

  form->ComboBox1->setCurrentIndex(0);  // a second press tries again
  Open();
  EXPECT_EQ(form->Label1->text(), QStringLiteral("已打开串口1"));
}

TEST_F(LinkControl, SoundAndResetNeedAnOpenLink) {
  Build();
  form->Button17->click();
  form->Button2->click();
  EXPECT_EQ(prompts->Messages, (std::vector<QString>{"串口未打开！", "串口未打开！"}));
  Pump(100);
  EXPECT_TRUE(receiver->Sim->Frames().empty());
}

TEST_F(LinkControl, SoundPutsItsFrameOnTheLine) {
  Build();
  Open();
  form->Button17->click();
  EXPECT_EQ(form->Label1->text(), QStringLiteral("已打开声音输出！"));
  ASSERT_TRUE(receiver->Sim->WaitForFrames(FrameKind::Sound, 1, Ms(2000)));
  EXPECT_EQ(receiver->FramesOf(FrameKind::Sound)[0].bytes,
            (z500sim::Bytes{0x24, 0x24, 0x53, 0x49, 0x04, 0x00, 0xFF, 0xFF, 0x01, 0xFF, 0xE0, 0x0D, 0x0A}));
  EXPECT_TRUE(receiver->Sim->SoundOn());
  // The receiver's answer (class S) is not examined.
  Pump(300);
  EXPECT_EQ(form->Label1->text(), QStringLiteral("已打开声音输出！"));
  EXPECT_TRUE(prompts->Messages.empty());
}

TEST_F(LinkControl, ResetEndsAsSoonAsAHeadSplitOverTwoReadsIsComplete) {
  z500sim::Options options;
  options.silent = true;
  Build(options);
  Open();
  // The answer's head comes in two pieces 150 ms apart, then the rest.
  std::thread answer([this] {
    if (!receiver->Sim->WaitForFrames(FrameKind::SerialReset, 1, Ms(3000))) return;
    receiver->Sim->Inject({0x24, 0x24});
    std::this_thread::sleep_for(Ms(150));
    receiver->Sim->Inject({0x53, 0x52, 0x53, 0x54, 0x0D, 0x0A});
  });
  const auto pressed = std::chrono::steady_clock::now();
  form->Button2->click();
  const auto took = std::chrono::duration_cast<Ms>(std::chrono::steady_clock::now() - pressed).count();
  answer.join();

  EXPECT_GE(took, 150);
  EXPECT_LT(took, 1500);
  EXPECT_EQ(prompts->Messages, (std::vector<QString>{"已恢复仪器内部串口波特率为默认设置！"}));
  EXPECT_EQ(form->Label1->text(), QStringLiteral("正在恢复仪器内部串口为默认，请稍候！"));
  EXPECT_EQ(receiver->FramesOf(FrameKind::SerialReset)[0].bytes,
            (z500sim::Bytes{0x24, 0x24, 0x53, 0x52, 0x53, 0x54}));
  EXPECT_TRUE(form->VellCommDevice1->fGetUsePackage());
  EXPECT_TRUE(form->VellCommDevice1->fGetActive());
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

TEST_F(LinkControl, ResetWithASilentReceiverFailsAfterFifteenSeconds) {
  z500sim::Options options;
  options.silent = true;
  auto clock = std::make_shared<InstantClock>(0xFFFFE000u);  // the tick wraps during the wait
  Build(options, clock);
  Open();
  clock->Sleeps = clock->SleepsWithoutHourglass = 0;
  const auto pressed = std::chrono::steady_clock::now();
  form->Button2->click();
  EXPECT_LT(std::chrono::steady_clock::now() - pressed, Ms(3000));

  EXPECT_EQ(prompts->Messages, (std::vector<QString>{"接收机无应答，恢复串口波特率未完成！"}));
  EXPECT_EQ(form->Label1->text(), QStringLiteral("恢复串口波特率失败，接收机无应答！"));
  EXPECT_GT(form->WaitNow - form->WaitStart, 15000u);
  EXPECT_LE(form->WaitNow - form->WaitStart, 15000u + Z500::RawWaitPollMs);
  // Every pass slept, under the hourglass; the cursor is back afterwards.
  EXPECT_GE(clock->Sleeps, 15000 / static_cast<int>(Z500::RawWaitPollMs));
  EXPECT_EQ(clock->SleepsWithoutHourglass, 0);
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
  EXPECT_TRUE(form->VellCommDevice1->fGetUsePackage());

  // Packages flow again: a parameter reply reaches its route.
  int interval = -1;
  form->Routes.Parameters = [&](uint8_t i, uint8_t) { interval = i; };
  receiver->Sim->Inject({0x24, 0x24, 0x46, 0x4A, 0x02, 0x00, 0x07, 0x0C, 0x00, 0x0D, 0x0A});
  EXPECT_TRUE(PumpUntil([&] { return interval == 7; }));
}

TEST_F(LinkControl, APackageIsSeenOnlyToItsThreeHundredthByte) {
  // Unpaced, the 409 bytes reach the port in one piece: a paced simulator
  // stalled for a package interval on a loaded machine would split them. The
  // longer interval keeps them one package where the system's own hand-over
  // of the bytes is held up for a while.
  z500sim::Options options;
  options.baud = 0;
  Build(options);
  Open();
  form->VellCommDevice1->fSetPackageInterval(1000);
  std::vector<uint16_t> lengths;
  std::vector<size_t> received;
  form->Routes.DirectoryPage = [&](uint16_t length, std::span<const uint8_t> payload) {
    lengths.push_back(length);
    received.push_back(payload.size());
  };
  z500sim::Bytes page{0x24, 0x24, 0x46, 0x4D, 0x90, 0x01};  // L = 400
  page.resize(6 + 400 + 3, 0x41);
  receiver->Sim->Inject(page);
  ASSERT_TRUE(PumpUntil([&] { return !lengths.empty(); }, 5000));
  Pump(200);
  ASSERT_EQ(lengths.size(), 1u);
  EXPECT_EQ(lengths[0], 400);
  EXPECT_EQ(received[0], 294u);
}

const QString NoResetAnswer = QStringLiteral("接收机无应答，恢复串口波特率未完成！");
const QString NoFormatAnswer = QStringLiteral("接收机无应答，未能确认格式化完成！");
const QString EchoStatus = QStringLiteral("串口回显了所发命令，未检测到接收机！");

TEST_F(LinkControl, ALineThatEchoesIsToldAndItsEchoesAreNoAnswers) {
  z500sim::Options options;
  options.echo = true;  // a loopback plug: every byte comes back, nothing answers
  options.unlogged = true;
  options.baud = 0;  // each echo in one piece: the virtual clock runs fast
  Build(options, std::make_shared<PacedClock>());
  Open();
  ASSERT_TRUE(PumpUntil([&] { return form->Label1->text() == EchoStatus; }));
  EXPECT_TRUE(form->LineEchoes);

  form->Button2->click();
  form->Button9->click();
  EXPECT_EQ(prompts->Messages, (std::vector<QString>{NoResetAnswer, NoFormatAnswer}));
  EXPECT_EQ(form->Label1->text(), EchoStatus);
  EXPECT_TRUE(form->VellCommDevice1->fGetUsePackage());

  // The echo of a directory request is not taken for a page either.
  bool page = false;
  form->Routes.DirectoryPage = [&](uint16_t, std::span<const uint8_t>) { page = true; };
  form->Button7->click();
  Pump(300);
  EXPECT_FALSE(page);
}

// Paints its widget slowly, as a loaded desktop does.
class SlowPaint : public QObject {
public:
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint) std::this_thread::sleep_for(Ms(30));
    return false;
  }
};

TEST_F(LinkControl, AResetAnsweredAtOnceIsSeenEveryTime) {
  z500sim::Options options;
  options.baud = 0;
  options.replyDelayMs = 0;
  options.unlogged = true;
  // The 15 s wait lasts 3 s: a loaded machine may hold the simulator up.
  Build(options, std::make_shared<PacedClock>(200));
  // The status line is painted while the receiver answers.
  SlowPaint slow;
  form->Label1->installEventFilter(&slow);
  form->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
  Open();
  for (int run = 1; run <= 6; ++run) {
    prompts->Messages.clear();
    form->Button2->click();
    EXPECT_EQ(prompts->Messages, std::vector<QString>{"已恢复仪器内部串口波特率为默认设置！"}) << "run " << run;
    EXPECT_TRUE(form->VellCommDevice1->fGetUsePackage());
  }
  EXPECT_EQ(receiver->FramesOf(FrameKind::SerialReset).size(), 6u);
  EXPECT_FALSE(form->LineEchoes);
}

}  // namespace

// Asked to quit by a signal, the program closes its window as the close box
// would, and with it the link: the port is free for the next program at
// once, also when the signal comes during a raw reply wait, and the event
// loop ends.
TEST_F(LinkControl, ASignalToQuitClosesTheWindowAndFreesThePort) {
  const struct {
    int Signal;
    bool DuringResetWait;
  } cases[] = {{SIGTERM, false}, {SIGINT, true}, {SIGHUP, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Signal);
    z500sim::Options options;
    options.silent = true;
    Build(options);
    form->show();
    Open();
    int got = 0;
    std::chrono::steady_clock::time_point sent;
    {
      Z500::TQuitSignals quit([&](int number) {
        got = number;
        Z500::QuitWindow(*form);
      });
      QTimer watchdog;
      watchdog.setSingleShot(true);
      QObject::connect(&watchdog, &QTimer::timeout, [] { QCoreApplication::exit(1); });
      watchdog.start(10000);
      if (c.DuringResetWait) QTimer::singleShot(0, form.get(), [this] { form->Button2->click(); });
      QTimer::singleShot(c.DuringResetWait ? 300 : 0, form.get(), [&] {
        sent = std::chrono::steady_clock::now();
        ::kill(::getpid(), c.Signal);
      });
      EXPECT_EQ(QApplication::exec(), 0) << "the event loop did not end";
    }
    EXPECT_EQ(got, c.Signal);
    EXPECT_LT(std::chrono::steady_clock::now() - sent, Ms(2000));
    EXPECT_FALSE(form->isVisible());
    EXPECT_FALSE(form->VellCommDevice1->fGetActive());
    EXPECT_TRUE(PortIsFree(receiver->Path)) << "the port is still locked or marked";
    form.reset();
  }
}
