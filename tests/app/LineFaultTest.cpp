// Faults on the line, end to end: the window over a real pty with the
// receiver simulator on the other side, while the cable is pulled (the
// simulator's side of the pty closes, which hangs the window's side up), the
// receiver falls silent, or answers behind garbage or in pieces; and the
// window closed in the middle of a wait or an upgrade.
#include <gtest/gtest.h>

#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <numeric>
#include <optional>
#include <thread>

#include "ProcessFigures.h"
#include "WindowRig.h"

using z500sim::FrameKind;
using namespace std::chrono_literals;
using Texts = std::vector<QString>;

namespace {

const QString LinkLost = QStringLiteral("串口已断开，请检查连接后重新打开！");
const QString Confirm = QStringLiteral("请确认接收机电源已经关闭！");
const QString UpgradeFailed = QStringLiteral("升级过程中发生错误，请关闭接收机后重新升级！");
const QString Formatted = QStringLiteral(" 格式化完毕！\r\n请重启静态接收机！\r\n ");
// CPU seconds the whole process may use in a quiet second: an idle window
// and engine wake up a few times; a spinning thread would use the second.
constexpr double QuietCpuLimit = 0.1;

// Virtual time, with a hook on every sleep so that a fault can be brought
// about while the window is inside the step under test. With RealPace each
// sleep also lets 1 ms of real time pass, so that a device event can reach a
// wait before it rushes through its virtual limit.
class HookClock : public InstantClock {
public:
  void Sleep(uint32_t ms) override {
    InstantClock::Sleep(ms);
    if (OnSleep) OnSleep();
    if (RealPace) std::this_thread::sleep_for(1ms);
  }
  std::function<void()> OnSleep;
  bool RealPace = false;
};

bool Hourglass() {
  const QCursor* c = QApplication::overrideCursor();
  return c && c->shape() == Qt::WaitCursor;
}

// The window's COM1 is a symlink to the simulator's pty, as a cable's device
// name would be: plugging in another receiver points it at that one.
class WindowOnALine : public ReceiverWindowTest {
protected:
  void TearDown() override {
    ReceiverWindowTest::TearDown();
    receiver.reset();
  }
  void Plug(z500sim::Options options) {
    receiver.reset();
    receiver = std::make_unique<SimulatedReceiver>(options);
    std::filesystem::remove(Link());
    std::filesystem::create_symlink(receiver->Path, Link());
  }
  void Build(z500sim::Options options) {
    Plug(options);
    TForm1::TServices services;
    services.Prompts = prompts;
    services.Clock = clock;
    services.PortMap = std::make_shared<QuarlComm32::TFixedPortMap>(std::vector<QuarlComm32::TPortEntry>{{1, Link()}});
    form = std::make_unique<TestForm>(services);
  }
  std::string Link() const { return dir.filePath("ttyZ500").toStdString(); }
  // A firmware file of `size` bytes in the editor, then "开始升级".
  void StartUpgrade(size_t size = 4096) {
    QFile f(dir.filePath("Z500.088.rxf"));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    z500sim::Bytes image(size);
    std::iota(image.begin(), image.end(), uint8_t{1});
    f.write(reinterpret_cast<const char*>(image.data()), qint64(size));
    f.close();
    form->Edit1->setText(f.fileName());
    form->Button4->click();
  }
  size_t Blocks() const { return Sent(FrameKind::Block).size(); }
  int Enabled() const {
    const auto buttons = {form->Button1, form->Button2, form->Button3, form->Button4, form->Button5,
                          form->Button6, form->Button7, form->Button8, form->Button9};
    return int(std::count_if(buttons.begin(), buttons.end(), [](QPushButton* b) { return b->isEnabled(); }));
  }
  void Pull() {
    receiver->Sim->Stop();
    pulledAt = std::chrono::steady_clock::now();
  }

  QTemporaryDir dir;
  std::shared_ptr<HookClock> clock = std::make_shared<HookClock>();
  std::optional<std::chrono::steady_clock::time_point> pulledAt;
};

// What the window is doing when the fault strikes.
enum class Step { Idle, Opening, Listing, Parameters, Upgrade, Format, Reset };

struct Fault {
  const char* Name;
  Step During;
  std::function<void(z500sim::Options&)> Receiver;  // the simulator's own faults
  bool Pull;          // the test pulls the cable in the middle of the step
  bool WaitOut = false;  // after the third block, five seconds pass on the window's clock
  QString Status;     // the status line afterwards; empty: as it was before the step
  Texts Messages;     // every box from the step on
  // What really happened, checked against what the window says.
  std::function<void(const z500sim::Simulator&, const TForm1&)> Check = {};
};
void PrintTo(const Fault& f, std::ostream* os) { *os << f.Name; }

void FewerListed(const z500sim::Simulator& sim, const TForm1& form) {
  EXPECT_LT(size_t(form.FileCount), sim.Files().size());
}
void NothingListed(const z500sim::Simulator&, const TForm1& form) {
  EXPECT_EQ(form.FileCount, 0);
  EXPECT_TRUE(form.StringGrid1->Cell(1, 1).isEmpty());
}
void UpgradeUnfinished(const z500sim::Simulator& sim, const TForm1&) { EXPECT_LT(sim.Firmware().size(), 4096u); }
void FlashFormatted(const z500sim::Simulator& sim, const TForm1&) { EXPECT_TRUE(sim.Files().empty()); }
void FlashKept(const z500sim::Simulator& sim, const TForm1&) { EXPECT_FALSE(sim.Files().empty()); }

const Fault Faults[] = {
    {"pulledWhileIdle", Step::Idle, {}, true, false, LinkLost, {}},
    {"pulledDuringPausesAfterOpening", Step::Opening, {}, true, false, LinkLost, {}},
    {"pulledWhileListing", Step::Listing, {}, true, false, LinkLost, {}, FewerListed},
    {"hungUpAfterHandshake", Step::Upgrade, [](auto& o) { o.hangupAfter = 0; }, false, false, LinkLost, {Confirm},
     UpgradeUnfinished},
    {"hungUpMidTransfer", Step::Upgrade, [](auto& o) { o.hangupAfter = 3; }, false, false, LinkLost, {Confirm},
     UpgradeUnfinished},
    {"pulledDuringFormatWait", Step::Format, [](auto& o) { o.formatTimeMs = 30000; }, true, false, LinkLost, {}, FlashKept},
    {"pulledDuringResetWait", Step::Reset, [](auto& o) { o.silent = true; }, true, false, LinkLost, {}},
    {"silentMidTransfer", Step::Upgrade,
     [](auto& o) { for (uint32_t k = 4; k <= 40; ++k) o.dropAnswers.push_back(k); },  // from block 3's answer on
     false, true, UpgradeFailed, {Confirm, QStringLiteral("接收机无应答，升级未完成！")}, UpgradeUnfinished},
    {"silentWhileListing", Step::Listing, [](auto& o) { o.silent = true; }, false, false, "", {}, NothingListed},
    {"garbageBeforeEveryPage", Step::Listing, [](auto& o) { o.garbage = 40; }, false, false, "", {}, NothingListed},
    {"garbageBeforeTheFormatAnswer", Step::Format, [](auto& o) { o.garbage = 40; }, false, false,
     QStringLiteral("格式化完毕！"), {Formatted}, FlashFormatted},
    {"splitParameterAnswer", Step::Parameters, [](auto& o) { o.splitAnswers = true; }, false, false, "", {}},
    {"splitFormatAnswer", Step::Format, [](auto& o) { o.splitAnswers = true; }, false, false,
     QStringLiteral("格式化完毕！"), {Formatted}, FlashFormatted},
};

class LineFault : public WindowOnALine, public ::testing::WithParamInterface<Fault> {};

TEST_P(LineFault, EndsTheStepHonestlyWithoutSpinningAndTheLinkOpensAgain) {
  const Fault& f = GetParam();
  z500sim::Options options;
  options.unlogged = true;
  options.files = f.During == Step::Listing ? 2000 : 20;
  options.formatTimeMs = 300;
  if (f.Receiver) f.Receiver(options);
  Build(options);
  if (f.During != Step::Opening) Open();
  const QString before = form->Label1->text();
  prompts->Messages.clear();

  // The pauses after opening and the raw reply waits block the window's
  // thread: the cable is pulled from inside, at the first pause, and in the
  // waits real time then runs alongside.
  const bool waits = f.During == Step::Format || f.During == Step::Reset;
  clock->RealPace = waits;
  bool pulled = false;
  if ((waits || f.During == Step::Opening) && f.Pull)
    clock->OnSleep = [&] {
      if (!pulled && (Hourglass() || f.During == Step::Opening)) pulled = true, Pull();
    };
  switch (f.During) {
    case Step::Idle: Pull(); break;
    case Step::Opening: form->Button1->click(); break;
    case Step::Listing:
      form->Button7->click();
      if (f.Pull) {
        ASSERT_TRUE(PumpUntil([&] { return form->FileCount >= 16; }, 5000));
        Pull();
      }
      break;
    case Step::Parameters: form->Button5->click(); break;
    case Step::Upgrade:
      StartUpgrade();
      if (f.WaitOut) {
        ASSERT_TRUE(PumpUntil([&] { return Blocks() == 3; }, 5000));
        Pump(300);
        clock->Now += 5000;  // no answer for five seconds on the window's clock
      }
      break;
    case Step::Format: form->Button9->click(); break;
    case Step::Reset: form->Button2->click(); break;
  }
  clock->OnSleep = nullptr;
  clock->RealPace = false;
  if (f.Status == LinkLost) {
    ASSERT_TRUE(PumpUntil([&] { return !form->VellCommDevice1->fGetActive(); }, 5000));
  }
  if (pulledAt)
    std::printf("[ figures  ] %s: link closed %.1f ms after the pull\n", f.Name,
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - *pulledAt).count());
  PumpUntil([&] { return !form->Upgrading; }, 3000);
  Pump(700);  // whatever else the line brings

  EXPECT_EQ(form->Label1->text(), f.Status.isEmpty() ? before : f.Status);
  EXPECT_EQ(prompts->Messages, f.Messages);
  if (f.Check) f.Check(*receiver->Sim, *form);
  if (waits) {
    EXPECT_LT(form->WaitNow - form->WaitStart, f.Pull ? 10000u : 20000u);  // not the wait's full limit
  }
  EXPECT_FALSE(form->Upgrading);
  EXPECT_FALSE(form->Timer2->isActive() || form->UpgradeWatch->isActive());
  EXPECT_EQ(form->FirmwareFile, nullptr);
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
  EXPECT_EQ(Enabled(), 9);
  const double cpu = figures::CpuWhileIdle();
  std::printf("[ figures  ] %s: %.1f ms CPU over a quiet second\n", f.Name, cpu * 1000);
  EXPECT_LT(cpu, QuietCpuLimit);

  // Closed as after the close button, or closed with it; then a receiver
  // plugged in afresh answers through the window.
  if (f.Status == LinkLost) {
    EXPECT_EQ(form->Button1->text(), QStringLiteral("打开串口"));
  } else {
    ASSERT_TRUE(form->VellCommDevice1->fGetActive());
    form->Button1->click();
    EXPECT_EQ(form->Label1->text(), QStringLiteral("已关闭串口!"));
  }
  EXPECT_FALSE(form->VellCommDevice1->fGetActive());
  z500sim::Options fresh;
  fresh.unlogged = true;
  fresh.interval = 33;
  Plug(fresh);
  Open();
  EXPECT_EQ(form->Label1->text(), QStringLiteral("已打开串口1"));
  form->Button5->click();
  EXPECT_TRUE(PumpUntil([&] { return form->Label1->text() == QStringLiteral("已读取设置参数！"); }));
  EXPECT_EQ(form->Edit2->text(), "33");
  EXPECT_EQ(prompts->Messages, f.Messages);
}

INSTANTIATE_TEST_SUITE_P(Line, LineFault, ::testing::ValuesIn(Faults),
                         [](const auto& info) { return std::string(info.param.Name); });

// While the window's thread is busy elsewhere (a box, a pause), a device
// that has gone must not make the engine's or the framer's threads spin
// until the window gets round to closing the link.
TEST_F(WindowOnALine, AGoneDeviceCostsNoCpuUntilTheWindowHearsOfIt) {
  z500sim::Options options;
  options.unlogged = true;
  Build(options);
  Open();
  form->Button7->click();  // a request on its way as the cable goes
  Pull();
  const double before = figures::CpuSeconds();
  std::this_thread::sleep_for(1s);
  const double cpu = figures::CpuSeconds() - before;
  std::printf("[ figures  ] gone device, window busy: %.1f ms CPU over a second\n", cpu * 1000);
  EXPECT_LT(cpu, QuietCpuLimit);
  EXPECT_TRUE(form->VellCommDevice1->fGetActive());
  EXPECT_TRUE(PumpUntil([&] { return !form->VellCommDevice1->fGetActive(); }));
  EXPECT_EQ(form->Label1->text(), LinkLost);
}

// A box runs an event loop of its own: the cable pulled while the upgrade's
// or the format's box is open closes the link inside it, and the step must
// not go on after the box on a link that is gone.
class BoxThatWaits : public FakePrompts {
public:
  void Message(QWidget* owner, const QString& text) override {
    FakePrompts::Message(owner, text);
    if (WhileOpen) WhileOpen();
  }
  bool Confirm(QWidget* owner, const QString& text) override {
    const bool ok = FakePrompts::Confirm(owner, text);
    if (WhileOpen) WhileOpen();
    return ok;
  }
  std::function<void()> WhileOpen;
};

TEST_F(WindowOnALine, CablePulledWhileABoxIsOpenStopsTheStepAfterIt) {
  auto boxes = std::make_shared<BoxThatWaits>();
  prompts = boxes;
  const struct { const char* Name; std::function<void()> Start; } cases[] = {
      {"upgrade", [this] { StartUpgrade(); }},
      {"format", [this] { form->Button9->click(); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    z500sim::Options options;
    options.unlogged = true;
    form.reset();
    Build(options);
    Open();
    boxes->Messages.clear();
    boxes->WhileOpen = [&] {
      boxes->WhileOpen = nullptr;
      Pull();
      EXPECT_TRUE(PumpUntil([&] { return !form->VellCommDevice1->fGetActive(); }));
    };
    c.Start();
    Pump(700);  // longer than a call for the receiver
    EXPECT_EQ(form->Label1->text(), LinkLost);
    EXPECT_TRUE(boxes->Messages.size() <= 1);  // the upgrade's own confirmation only
    EXPECT_FALSE(form->Upgrading || form->Timer2->isActive());
    EXPECT_EQ(form->FirmwareFile, nullptr);
    EXPECT_EQ(Enabled(), 9);
    EXPECT_EQ(form->WaitStart, 0u);  // no raw reply wait began
  }
}

// The window closed, as its close button does, while something runs on the
// link: the program's event loop ends, the port is closed, and no box comes
// up after the close.
class ClosingTheWindow;
struct Closing {
  const char* Name;
  std::function<void(z500sim::Options&)> Receiver;
  bool OpenFirst;                                 // else the step opens the link itself
  std::function<void(ClosingTheWindow&)> Step;    // started from the event loop
  bool InSleep;                                   // closed at the window's first pause (under the hourglass, if open)
  std::function<bool(ClosingTheWindow&)> When;    // else closed once this holds
};
void PrintTo(const Closing& c, std::ostream* os) { *os << c.Name; }

class ClosingTheWindow : public WindowOnALine, public ::testing::WithParamInterface<Closing> {
public:
  void Click(QPushButton* TForm1::*button) { (form.get()->*button)->click(); }
  void Upgrade() { StartUpgrade(); }
  size_t BlocksSent() const { return Blocks(); }
  size_t Calls() const { return Sent(FrameKind::Handshake).size(); }
};

const Closing Closings[] = {
    {"duringResetWait", [](auto& o) { o.silent = true; }, true, [](auto& t) { t.Click(&TForm1::Button2); }, true, {}},
    {"duringFormatWait", [](auto& o) { o.formatTimeMs = 30000; }, true, [](auto& t) { t.Click(&TForm1::Button9); },
     true, {}},
    {"duringPausesAfterOpening", {}, false, [](auto& t) { t.Click(&TForm1::Button1); }, true, {}},
    {"whileCallingForUpgrade", [](auto& o) { o.handshakeAfter = 1000; }, true, [](auto& t) { t.Upgrade(); }, false,
     [](auto& t) { return t.Calls() >= 2; }},
    {"duringUpgradeTransfer", {}, true, [](auto& t) { t.Upgrade(); }, false, [](auto& t) { return t.BlocksSent() >= 3; }},
};

TEST_P(ClosingTheWindow, EndsTheProgramWithThePortClosedAndNoThreadLeft) {
  const Closing& c = GetParam();
  {  // Qt opens some files of its own (fonts) on the first window it shows
    TForm1 warmUp;
    warmUp.show();
    QCoreApplication::processEvents();
  }
  const int threads = figures::Threads(), descriptors = figures::Descriptors();
  z500sim::Options options;
  options.unlogged = true;
  if (c.Receiver) c.Receiver(options);
  Build(options);
  form->show();
  const int onPty = figures::DescriptorsOn(receiver->Path);  // the simulator's own hold on it
  if (c.OpenFirst) Open();
  prompts->Messages.clear();

  size_t boxesAtClose = SIZE_MAX;
  auto close = [&] {
    if (boxesAtClose != SIZE_MAX) return;
    boxesAtClose = prompts->Messages.size();
    // Queued, as the window manager's close reaches the window.
    QTimer::singleShot(0, form.get(), [this] { form->close(); });
  };
  clock->RealPace = true;
  if (c.InSleep)  // a raw reply wait pauses under the hourglass, the pauses after opening without
    clock->OnSleep = [&] {
      if (c.OpenFirst == Hourglass()) close();
    };
  QTimer poll;
  if (c.When) {
    QObject::connect(&poll, &QTimer::timeout, [&] {
      if (c.When(*this)) close();
    });
    poll.start(10);
  }
  QTimer watchdog;
  watchdog.setSingleShot(true);
  QObject::connect(&watchdog, &QTimer::timeout, [] { QCoreApplication::exit(1); });
  watchdog.start(20000);
  QTimer::singleShot(0, form.get(), [&] { c.Step(*this); });
  const int code = QApplication::exec();
  clock->OnSleep = nullptr;
  poll.stop();

  EXPECT_EQ(code, 0);  // the last window closed, not the watchdog
  ASSERT_NE(boxesAtClose, SIZE_MAX);
  EXPECT_EQ(prompts->Messages.size(), boxesAtClose);
  EXPECT_FALSE(form->isVisible());
  EXPECT_FALSE(form->VellCommDevice1->fGetActive());
  EXPECT_FALSE(form->Upgrading || form->Timer2->isActive() || form->UpgradeWatch->isActive());
  EXPECT_EQ(form->FirmwareFile, nullptr);
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
  if (c.InSleep && c.OpenFirst) {
    EXPECT_LT(form->WaitNow - form->WaitStart, 10000u);  // the wait ended with the window
  }
  EXPECT_EQ(figures::DescriptorsOn(receiver->Path), onPty);
  // What main() does after its event loop: the window goes, then the receiver.
  form.reset();
  receiver.reset();
  QCoreApplication::processEvents();
  EXPECT_EQ(figures::Threads(), threads);
  EXPECT_EQ(figures::Descriptors(), descriptors);
}

INSTANTIATE_TEST_SUITE_P(Window, ClosingTheWindow, ::testing::ValuesIn(Closings),
                         [](const auto& info) { return std::string(info.param.Name); });

}  // namespace
