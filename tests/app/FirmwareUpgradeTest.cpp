// The firmware upgrade end to end: the window over a real pty, the receiver
// simulator on the other side, paced like a 19200 baud cable.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <functional>

#include "TestHex.h"
#include "WindowRig.h"

using z500sim::FrameKind;
using Seconds = std::chrono::duration<double>;

namespace {

const QString Confirm = QStringLiteral("请确认接收机电源已经关闭！");
const QString Success = QStringLiteral("升级成功！重启接收机后新固件生效。");
const QString Calling = QStringLiteral("请打开接收机电源！");
const QString FailureStatus = QStringLiteral("升级过程中发生错误，请关闭接收机后重新升级！");

Bytes Image(size_t n) {  // 01 02 03 ... FF 00 01 ...
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i + 1);
  return b;
}

// A firmware file whose reads after the first `good` ones give `result` (-1:
// an error; 0: the file ends early).
struct FailingFile : QFile {
  FailingFile(const QString& path, uint32_t good, qint64 result) : QFile(path), Good(good), Result(result) {
    open(QIODevice::ReadOnly | QIODevice::Unbuffered);
  }
  qint64 readData(char* data, qint64 max) override { return Good == 0 ? Result : (--Good, QFile::readData(data, max)); }
  uint32_t Good;
  qint64 Result;
};

class FirmwareUpgrade : public ::testing::Test {
protected:
  // Firmware files are named relative to a temporary working folder.
  void SetUp() override {
    ASSERT_TRUE(dir.isValid());
    QDir::setCurrent(dir.path());
  }
  void TearDown() override {
    form.reset();
    QCoreApplication::processEvents();
    QDir::setCurrent(cwd);
  }
  // The window with its link open to a receiver paced at 19200 baud.
  void Build(z500sim::Options options = {}) {
    options.unlogged = true;
    form.reset();
    receiver = std::make_unique<SimulatedReceiver>(options);
    auto ports = std::make_shared<QuarlComm32::TFixedPortMap>(std::vector<QuarlComm32::TPortEntry>{{1, receiver->Path}});
    form = std::make_unique<TestForm>(TForm1::TServices{prompts, clock, ports});
    form->Button1->click();
    ASSERT_TRUE(form->VellCommDevice1->fGetActive());
    form->Routes.Parameters = [this](uint8_t, uint8_t) { ++parameterAnswers; };
  }
  void Start(const QString& name, const Bytes& content) {
    QFile f(name);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(reinterpret_cast<const char*>(content.data()), static_cast<qint64>(content.size()));
    f.close();
    form->Edit1->setText(name);
    form->Button4->click();
  }
  size_t Blocks() const { return receiver->FramesOf(FrameKind::Block).size(); }
  bool Finished(int ms = 3000) { return PumpUntil([&] { return !form->Upgrading; }, ms); }
  // How many of the nine action buttons are enabled; the sound button always is.
  int Enabled() const {
    int n = 0;
    for (QPushButton* b : {form->Button1, form->Button2, form->Button3, form->Button4, form->Button5, form->Button6,
                           form->Button7, form->Button8, form->Button9})
      n += b->isEnabled();
    EXPECT_TRUE(form->Button17->isEnabled());
    return n;
  }
  void ExpectEndedCleanly() {
    EXPECT_FALSE(form->Upgrading);
    EXPECT_FALSE(form->Timer2->isActive());
    EXPECT_FALSE(form->UpgradeWatch->isActive());
    EXPECT_EQ(form->FirmwareFile, nullptr);
    EXPECT_EQ(Enabled(), 9);
  }
  // A parameter read gets its reply through the dispatcher to the window.
  bool ParametersAnswered() {
    const int before = parameterAnswers;
    const Z500::TFrame read = Z500::ReadParametersRequest();
    form->VellCommDevice1->Write(read.data(), static_cast<long>(read.size()));
    return PumpUntil([&] { return parameterAnswers > before; });
  }

  const QString cwd = QDir::currentPath();
  QTemporaryDir dir;
  std::shared_ptr<FakePrompts> prompts = std::make_shared<FakePrompts>();
  std::shared_ptr<InstantClock> clock = std::make_shared<InstantClock>();
  std::unique_ptr<SimulatedReceiver> receiver;
  std::unique_ptr<TestForm> form;
  int parameterAnswers = 0;
};

TEST_F(FirmwareUpgrade, FileGoesInZeroPaddedBlocksWithProgressAndLockedButtons) {
  const struct {
    const char* Name;
    uint8_t Version;  // the receiver's
    size_t Size;
    std::vector<int> Progress;  // one step a block frame, then 0
  } cases[] = {
      {"Z500.088.rxf", 88, 300, {128, 256, 300, 0}},  // frames of 128, 128 and 44 bytes
      {"Z500.088.rxf", 88, 130, {128, 130, 0}},       // 128, then 2 file bytes and 2 of padding
      {"88.rxf", 0, 8, {8, 0}},                        // too short a name for a version: 0
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Size);
    z500sim::Options options;
    options.hardwareVersion = c.Version;
    Build(options);
    // A file an earlier upgrade left open is closed by the new one.
    form->FirmwareFile = std::make_unique<QFile>(QStringLiteral("left.088.rxf"));
    ASSERT_TRUE(form->FirmwareFile->open(QIODevice::WriteOnly));
    const QPointer<QFile> leftOpen = form->FirmwareFile.get();
    std::vector<int> progress;
    QObject::connect(form->ProgressBar1, &QProgressBar::valueChanged, [&](int v) {
      progress.push_back(Enabled() == 0 ? v : -v);
    });
    Start(QString::fromLatin1(c.Name), Image(c.Size));
    EXPECT_TRUE(leftOpen.isNull());
    EXPECT_EQ(form->Label1->text(), Calling);
    EXPECT_EQ(Enabled(), 0);
    ASSERT_TRUE(PumpUntil([&] { return Blocks() == 1; }));
    EXPECT_EQ(form->Label1->text(), QStringLiteral("升级中，不要关闭接收机和本软件，请稍候！"));
    ASSERT_TRUE(Finished());

    EXPECT_EQ(prompts->Messages, (std::vector<QString>{Confirm, Success}));
    EXPECT_EQ(form->Label1->text(), QStringLiteral("升级成功，重启接收机后新固件生效。"));
    EXPECT_EQ(progress, c.Progress);
    ExpectEndedCleanly();
    const auto frames = receiver->FramesOf(FrameKind::Block);
    ASSERT_EQ(frames.size(), c.Progress.size() - 1);
    uint32_t address = 0x40008000;
    for (const auto& f : frames) {
      const Bytes head{0x24, 0x24, 0x56, 0x58, static_cast<uint8_t>(f.bytes.size() - 9), 0x40, 0x00,
                       static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address)};
      EXPECT_EQ(Bytes(f.bytes.begin(), f.bytes.begin() + 9), head);
      address += 128;
    }
    EXPECT_EQ(Bytes(frames[0].bytes.begin() + 9, frames[0].bytes.begin() + 13), H("01 02 03 04"));
    Bytes padded = Image(c.Size);
    padded.resize((c.Size + 3) / 4 * 4, 0x00);
    EXPECT_EQ(receiver->Sim->Firmware(), padded);
    prompts->Messages.clear();
  }
}

TEST_F(FirmwareUpgrade, FileIsChosenInTheDialogAndStartIsRefusedWithoutLinkRxfPathOrContent) {
  Build();
  for (const char* chosen : {"/fw/Z500.088.rxf", ""}) {  // chosen, then cancelled
    prompts->ChosenFile = QString::fromLatin1(chosen);
    form->Button3->click();
  }
  EXPECT_EQ(prompts->Filters, std::vector<QString>(2, "Q5固件文件(*.088.rxf)|*.088.rxf|所有文件(*.*)|*.*"));
  EXPECT_EQ(form->Edit1->text(), "/fw/Z500.088.rxf");
  EXPECT_EQ(form->Label1->text(), QStringLiteral("升级前请关闭接收机电源！"));
  QFile(QStringLiteral("empty.088.rxf")).open(QIODevice::WriteOnly);
  const struct {
    bool LinkOpen;
    const char* Path;
    QString Message;
  } cases[] = {
      {false, "empty.088.rxf", QStringLiteral("未打开通讯串口！")},
      {true, "empty.088.RXF", QStringLiteral("文件路径有误或者升级文件不是rxf文件！")},
      {true, "missing.088.rxf", QStringLiteral("未能打开升级文件！")},
      {true, "empty.088.rxf", QStringLiteral("升级文件为空，无法升级！")},
  };
  for (const auto& c : cases) {
    if (form->VellCommDevice1->fGetActive() != c.LinkOpen) form->Button1->click();
    prompts->Messages.clear();
    const QString status = form->Label1->text();
    form->Edit1->setText(QString::fromLatin1(c.Path));
    form->Button4->click();
    EXPECT_EQ(prompts->Messages, std::vector<QString>{c.Message});
    EXPECT_EQ(form->Label1->text(), status);
    ExpectEndedCleanly();
  }
}

TEST_F(FirmwareUpgrade, HandshakeRepeatsEvery500MsUntilAnsweredAndStrayAnswersAreIgnored) {
  z500sim::Options options;
  options.handshakeAfter = 2;
  Build(options);
  Start(QStringLiteral("Z500.088.rxf"), Image(300));
  const auto handshakes = [&] { return receiver->FramesOf(FrameKind::Handshake).size(); };
  // While calling: a handshake answer with a wrong marker, and a block
  // answer left over from an earlier upgrade.
  for (const char* stray : {"24 24 56 53 00 58", "24 24 56 58 01 00 40 00 80 00"}) {
    const size_t seen = handshakes();
    ASSERT_TRUE(PumpUntil([&] { return handshakes() > seen; }));
    receiver->Sim->Inject(H(stray));
    Pump(150);
    EXPECT_TRUE(form->Timer2->isActive()) << stray;
    EXPECT_EQ(Blocks(), 0u);
  }
  ASSERT_TRUE(PumpUntil([&] { return Blocks() == 1; }));
  form->Routes.HandshakeAnswer(88);  // a late second answer sends no second block
  ASSERT_TRUE(Finished());

  EXPECT_EQ(prompts->Messages, (std::vector<QString>{Confirm, Success}));
  EXPECT_EQ(Blocks(), 3u);
  EXPECT_EQ(receiver->Sim->Firmware(), Image(300));
  const auto calls = receiver->FramesOf(FrameKind::Handshake);
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0].bytes, H("24 24 56 53 01 00"));
  for (size_t k = 1; k < calls.size(); ++k) {
    EXPECT_GE(calls[k].at - calls[k - 1].at, std::chrono::milliseconds(400));
    EXPECT_LE(calls[k].at - calls[k - 1].at, std::chrono::milliseconds(800));
  }
}

// A failure brought about at block K of a 300-byte file.
struct Failure {
  const char* Name;
  std::function<void(z500sim::Options&)> Fault;  // of the simulator
  const char* Answer;                            // else: the answer to block K
  bool Silent;                                   // else: no answer to block K at all
  std::optional<qint64> Read;                    // else: the file's read after block K
  uint32_t K;
  QString Message;
  const QString& Status = FailureStatus;
};
void PrintTo(const Failure& f, std::ostream* os) { *os << f.Name; }

const QString ReadError = QStringLiteral("读取升级文件出错，升级未完成！");
const Failure Failures[] = {
    {"version", [](auto& o) { o.hardwareVersion = 87; }, nullptr, false, {}, 0,
     QStringLiteral("接收机硬件版本不匹配，无法升级！"), Calling},
    {"result1", [](auto& o) { o.blockResult = 1; o.blockResultAt = 2; }, nullptr, false, {}, 2, "发生错误1！"},
    {"result1short", {}, "24 24 56 58 01 01", false, {}, 1, "发生错误1！"},
    {"result2", [](auto& o) { o.blockResult = 2; o.blockResultAt = 1; }, nullptr, false, {}, 1, "发生错误2！"},
    {"result2short", {}, "24 24 56 58 01 02", false, {}, 2, "发生错误2！"},
    {"result7", [](auto& o) { o.blockResult = 7; o.blockResultAt = 3; }, nullptr, false, {}, 3, "发生错误！"},
    {"result7short", {}, "24 24 56 58 01 07", false, {}, 1, "发生错误！"},
    {"wrongAddress", [](auto& o) { o.badAddressAt = 2; }, nullptr, false, {}, 2, "下载地址错误！"},
    {"result0WithoutAddress", {}, "24 24 56 58 01 00", false, {}, 1, "下载地址错误！"},
    {"noAnswer", {}, nullptr, true, {}, 2, "接收机无应答，升级未完成！"},
    {"readError", {}, nullptr, false, qint64{-1}, 0, ReadError},
    {"fileEndsEarly", {}, nullptr, false, qint64{0}, 1, ReadError},
};

class FirmwareUpgradeFailure : public FirmwareUpgrade, public ::testing::WithParamInterface<Failure> {};

TEST_P(FirmwareUpgradeFailure, EndsTheUpgradeCleanlyAndParametersWorkAgain) {
  const Failure& f = GetParam();
  z500sim::Options options;
  if (f.Fault) f.Fault(options);
  if (f.Answer || f.Silent) options.dropAnswers = {f.K + 1};  // answer 1 is the handshake's
  Build(options);
  Start(QStringLiteral("Z500.088.rxf"), Image(300));
  if (f.Read) form->FirmwareFile = std::make_unique<FailingFile>(QStringLiteral("Z500.088.rxf"), f.K, *f.Read);
  ASSERT_TRUE(PumpUntil([&] { return Blocks() >= f.K; }));
  if (f.Answer) receiver->Sim->Inject(H(f.Answer));
  if (f.Silent) {  // five seconds on the window's clock after the block was sent
    clock->Now += 4999;
    Pump(300);
    EXPECT_TRUE(form->Upgrading);
    clock->Now += 1;
  }
  ASSERT_TRUE(Finished());

  EXPECT_EQ(prompts->Messages, (std::vector<QString>{Confirm, f.Message}));
  EXPECT_EQ(form->Label1->text(), f.Status);
  ExpectEndedCleanly();
  EXPECT_TRUE(ParametersAnswered());
  receiver->Sim->Inject(H("24 24 56 58 01 00 40 00 80 80"));  // a late answer is dropped
  Pump(200);
  EXPECT_EQ(prompts->Messages.size(), 2u);
  EXPECT_EQ(Blocks(), f.K);
}

INSTANTIATE_TEST_SUITE_P(Upgrade, FirmwareUpgradeFailure, ::testing::ValuesIn(Failures),
                         [](const auto& info) { return std::string(info.param.Name); });

// Per block a 137-byte frame and a 10-byte answer at 1920 bytes a second,
// then the 50 ms after which the comm device closes the answer's package:
// about 1011 bytes a second.
constexpr double LimitBytesPerSecond = 128 / ((137 + 10) / 1920.0 + 0.050);

TEST_F(FirmwareUpgrade, SixtyFourKibibytesAt19200BaudArriveWholeNearTheProtocolLimit) {
#ifdef __SANITIZE_THREAD__
  GTEST_SKIP() << "about 80 s of line time; measured in the plain build";
#endif
  Build();
  std::optional<std::chrono::steady_clock::time_point> first;
  QObject::connect(form->ProgressBar1, &QProgressBar::valueChanged, [&] {
    if (!first) first = std::chrono::steady_clock::now();
  });
  Start(QStringLiteral("Z500.088.rxf"), Image(64 * 1024));
  ASSERT_TRUE(Finished(200'000));
  const double transfer = Seconds(std::chrono::steady_clock::now() - *first).count();
  EXPECT_EQ(prompts->Messages.back(), Success);
  EXPECT_EQ(receiver->Sim->Firmware(), Image(64 * 1024));
  const auto frames = receiver->FramesOf(FrameKind::Block);
  const double cycle = Seconds(frames.back().at - frames.front().at).count() / double(frames.size() - 1);
  const double rate = 64 * 1024 / transfer;
  std::printf("64 KiB at 19200 baud: %.1f s, %.0f B/s, %.3f of the protocol limit (%.0f B/s); %.1f ms a block\n",
              transfer, rate, rate / LimitBytesPerSecond, LimitBytesPerSecond, cycle * 1000);
  EXPECT_GT(rate / LimitBytesPerSecond, 0.85);  // a wait of the window's own per block would fall below
}

}  // namespace
