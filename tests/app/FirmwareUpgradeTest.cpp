// The firmware upgrade end to end: the window over a real pty, the receiver
// simulator on the other side, paced like a 19200 baud cable.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QTemporaryDir>
#include <QTimer>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <numeric>
#include <optional>

#include "receiver/TestHex.h"
#include "WindowRig.h"

using z500sim::FrameKind;
using namespace std::chrono_literals;

namespace {

const QString Confirm = QStringLiteral("请确认接收机电源已经关闭！");
const QString Success = QStringLiteral("升级成功！重启接收机后新固件生效。");
const QString Calling = QStringLiteral("请打开接收机电源！");

Bytes Image(size_t n) {  // 01 02 03 ... FF 00 01 ...
  Bytes b(n);
  std::iota(b.begin(), b.end(), uint8_t{1});
  return b;
}

// A firmware file whose reads after the first `good` ones give `result` (-1:
// an error; 0: the file ends early).
struct FailingFile : QFile {
  FailingFile(uint32_t good, qint64 result) : QFile("Z500.088.rxf"), Good(good), Result(result) {
    open(QIODevice::ReadOnly | QIODevice::Unbuffered);
  }
  qint64 readData(char* data, qint64 max) override { return Good == 0 ? Result : (--Good, QFile::readData(data, max)); }
  uint32_t Good;
  const qint64 Result;
};

class FirmwareUpgrade : public ReceiverWindowTest {
protected:
  // Firmware files are named relative to a temporary working folder.
  void SetUp() override { ASSERT_TRUE(dir.isValid() && QDir::setCurrent(dir.path())); }
  void TearDown() override { ReceiverWindowTest::TearDown(); QDir::setCurrent(cwd); }
  // The window with its link open to a receiver paced at 19200 baud.
  void Build(z500sim::Options options = {}) {
    options.unlogged = true;
    form.reset();  // before the receiver it is linked to
    ReceiverWindowTest::Build(options, clock);
    Open();
    form->Routes.Parameters = [this](uint8_t, uint8_t) { ++parameterAnswers; };
  }
  void Start(size_t size) {
    QFile f("Z500.088.rxf");
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(reinterpret_cast<const char*>(Image(size).data()), qint64(size));
    f.close();
    form->Edit1->setText(f.fileName());
    form->Button4->click();
  }
  size_t Blocks() const { return Sent(FrameKind::Block).size(); }
  bool Finished(int ms = 3000) { return PumpUntil([&] { return !form->Upgrading; }, ms); }
  // How many of the nine action buttons are enabled; the sound button always is.
  int Enabled() const {
    EXPECT_TRUE(form->Button17->isEnabled());
    const auto buttons = {form->Button1, form->Button2, form->Button3, form->Button4, form->Button5,
                          form->Button6, form->Button7, form->Button8, form->Button9};
    return int(std::count_if(buttons.begin(), buttons.end(), [](QPushButton* b) { return b->isEnabled(); }));
  }
  void ExpectEndedCleanly() {
    EXPECT_FALSE(form->Upgrading);
    EXPECT_FALSE(form->Timer2->isActive());
    EXPECT_FALSE(form->UpgradeWatch->isActive());
    EXPECT_EQ(form->FirmwareFile, nullptr);
    EXPECT_EQ(Enabled(), 9);
  }

  const QString cwd = QDir::currentPath();
  QTemporaryDir dir;
  std::shared_ptr<InstantClock> clock = std::make_shared<InstantClock>();
  int parameterAnswers = 0;
};

TEST_F(FirmwareUpgrade, CallsUntilAnsweredThenSendsZeroPaddedBlocksWithProgressAndLockedButtons) {
  const struct {
    size_t Size;
    std::vector<int> Progress;  // a step per block frame, then 0; negative if the buttons were unlocked
  } cases[] = {
      {300, {128, 256, 300, 0}},  // frames of 128, 128 and 44 bytes
      {130, {128, 130, 0}},       // 128, then 2 file bytes and 2 of padding
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Size);
    z500sim::Options options;
    options.handshakeAfter = 2;  // the third call is answered
    Build(options);
    std::vector<int> progress;
    QObject::connect(form->ProgressBar1, &QProgressBar::valueChanged,
                     [&](int v) { progress.push_back(Enabled() == 0 ? v : -v); });
    Start(c.Size);
    EXPECT_EQ(form->Label1->text(), Calling);
    EXPECT_EQ(Enabled(), 0);
    // While calling, a handshake answer with a wrong marker and a block
    // answer left over from an earlier upgrade change nothing.
    for (const char* stray : {"24 24 56 53 00 58", "24 24 56 58 01 00 40 00 80 00"}) {
      const size_t seen = Sent(FrameKind::Handshake).size();
      ASSERT_TRUE(PumpUntil([&] { return Sent(FrameKind::Handshake).size() > seen; }));
      receiver->Sim->Inject(H(stray));
      Pump(150);
      EXPECT_TRUE(form->Timer2->isActive() && Blocks() == 0) << stray;
    }
    ASSERT_TRUE(PumpUntil([&] { return Blocks() == 1; }));
    EXPECT_EQ(form->Label1->text(), QStringLiteral("升级中，不要关闭接收机和本软件，请稍候！"));
    form->Routes.HandshakeAnswer(88);  // a late second answer sends no second block
    ASSERT_TRUE(Finished());

    EXPECT_EQ(prompts->Messages, (std::vector<QString>{Confirm, Success}));
    EXPECT_EQ(form->Label1->text(), QStringLiteral("升级成功，重启接收机后新固件生效。"));
    EXPECT_EQ(progress, c.Progress);
    ExpectEndedCleanly();
    const auto calls = Sent(FrameKind::Handshake);
    ASSERT_EQ(calls.size(), 3u);
    for (size_t k = 1; k < calls.size(); ++k)  // every 500 ms
      EXPECT_TRUE(calls[k].at - calls[k - 1].at >= 400ms && calls[k].at - calls[k - 1].at <= 800ms) << k;
    const auto frames = Sent(FrameKind::Block);
    ASSERT_EQ(frames.size(), c.Progress.size() - 1);
    for (uint32_t k = 0, address = 0x40008000; k < frames.size(); ++k, address += 128)
      EXPECT_EQ(Bytes(frames[k].bytes.begin(), frames[k].bytes.begin() + 9),
                (Bytes{0x24, 0x24, 0x56, 0x58, uint8_t(frames[k].bytes.size() - 9), 0x40, 0x00,
                       uint8_t(address >> 8), uint8_t(address)}));
    Bytes padded = Image(c.Size);
    padded.resize((c.Size + 3) / 4 * 4, 0x00);
    EXPECT_EQ(receiver->Sim->Firmware(), padded);
    prompts->Messages.clear();
  }
}

TEST_F(FirmwareUpgrade, FileIsChosenInTheDialogAndStartIsRefusedWithoutLinkRxfPathOrContent) {
  Build();
  for (const char* chosen : {"/fw/Z500.088.rxf", ""}) {  // chosen, then cancelled: the choice stays
    prompts->ChosenFile = chosen;
    form->Button3->click();
  }
  EXPECT_EQ(form->Edit1->text(), "/fw/Z500.088.rxf");
  EXPECT_EQ(form->Label1->text(), QStringLiteral("升级前请关闭接收机电源！"));
  QFile("empty.088.rxf").open(QIODevice::WriteOnly);
  // Not regular files: a FIFO with no writer would hold the window in open().
  ASSERT_EQ(::mkfifo("fifo.088.rxf", 0600), 0);
  ASSERT_TRUE(QDir().mkdir("folder.088.rxf"));
  // Beyond what the upgrade's 32-bit counts carry (sparse: no disk used).
  ASSERT_TRUE(QFile("huge.088.rxf").open(QIODevice::WriteOnly));
  ASSERT_EQ(::truncate("huge.088.rxf", off_t{1} << 31), 0);
  // A name that is not UTF-8 cannot be named by the window's text.
  const QByteArray latin1Name("fw\xe9.088.rxf");
  std::fclose(std::fopen(latin1Name.constData(), "w"));
  const QString latin1Text = QFile::decodeName(latin1Name);
  const struct { bool LinkOpen; QString Path; const char* Message; } cases[] = {
      {false, "empty.088.rxf", "未打开通讯串口！"},
      {true, "empty.088.RXF", "文件路径有误或者升级文件不是rxf文件！"},
      {true, "missing.088.rxf", "未能打开升级文件！"},
      {true, "empty.088.rxf", "升级文件为空，无法升级！"},
      {true, "fifo.088.rxf", "未能打开升级文件！"},
      {true, "folder.088.rxf", "未能打开升级文件！"},
      {true, "/dev/null/.088.rxf", "未能打开升级文件！"},
      {true, "huge.088.rxf", "升级文件过大，无法升级！"},
      {true, latin1Text, "未能打开升级文件！"},
      {true, QStringLiteral("empty.088.rxf") + QChar(0) + QStringLiteral(".088.rxf"), "未能打开升级文件！"},
  };
  for (const auto& c : cases) {
    if (form->VellCommDevice1->fGetActive() != c.LinkOpen) form->Button1->click();
    prompts->Messages.clear();
    const QString status = form->Label1->text();
    form->Edit1->setText(c.Path);
    form->Button4->click();
    EXPECT_EQ(prompts->Messages, std::vector<QString>{QString::fromUtf8(c.Message)}) << c.Path.toStdString();
    EXPECT_EQ(form->Label1->text(), status);
    ExpectEndedCleanly();
  }
  EXPECT_TRUE(Sent(FrameKind::Handshake).empty());
}

// A path as the file dialog gives it: blanks and Chinese in folder and file.
TEST_F(FirmwareUpgrade, APathWithBlanksAndChineseUpgrades) {
  Build();
  ASSERT_TRUE(QDir().mkpath(QStringLiteral("固件 目录")));
  QFile f(dir.path() + QStringLiteral("/固件 目录/ Z500 新版.088.rxf"));
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write(reinterpret_cast<const char*>(Image(200).data()), 200);
  f.close();
  form->Edit1->setText(f.fileName());
  form->Button4->click();
  ASSERT_TRUE(Finished());
  EXPECT_EQ(prompts->Messages, (std::vector<QString>{Confirm, Success}));
  EXPECT_EQ(receiver->Sim->Firmware(), Image(200));
}

// The hardware version is the one in the file's own name, whatever folders
// it sits in; a number that does not fit a byte fits no receiver and is
// refused before the receiver is called. The receiver here is version 88.
TEST_F(FirmwareUpgrade, TheVersionIsTheFileNamesAndMustFitAByte) {
  Build();
  const QString mismatch = QStringLiteral("接收机硬件版本不匹配，无法升级！");
  const struct { const char* Path; std::vector<QString> Messages; bool Called; } cases[] = {
      {"z500.088.rxf-archive/z500.087.rxf", {Confirm, mismatch}, true},
      {"fw.344.rxf", {mismatch}, false},  // not 344 mod 256
      {"old.087.rxf.d/z500.088.rxf", {Confirm, Success}, true},
  };
  for (const auto& c : cases) {
    const QString path = QString::fromUtf8(c.Path);
    ASSERT_TRUE(QDir().mkpath(QFileInfo(path).path()));
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(reinterpret_cast<const char*>(Image(200).data()), 200);
    f.close();
    prompts->Messages.clear();
    const size_t handshakes = Sent(FrameKind::Handshake).size();
    form->Edit1->setText(path);
    form->Button4->click();
    EXPECT_TRUE(PumpUntil([&] { return !form->Upgrading && prompts->Messages.size() == c.Messages.size(); }, 5000));
    EXPECT_EQ(prompts->Messages, c.Messages) << c.Path;
    EXPECT_EQ(Sent(FrameKind::Handshake).size() > handshakes, c.Called) << c.Path;
    ExpectEndedCleanly();
  }
  EXPECT_EQ(Blocks(), 2u);  // only the last file went in
  EXPECT_EQ(receiver->Sim->Firmware(), Image(200));
}

// A failure brought about at block K of a 300-byte file.
struct Failure {
  const char *Name, *Message;
  uint32_t K;
  std::function<void(z500sim::Options&)> Fault;  // of the simulator
  const char* Answer = nullptr;                   // injected in place of the answer to block K; "": none
  std::optional<qint64> Read = {};                // what the file's read after block K gives
  std::optional<off_t> Resize = {};               // the file's new size once block K is out
};
void PrintTo(const Failure& f, std::ostream* os) { *os << f.Name; }

const Failure Failures[] = {
    {"version", "接收机硬件版本不匹配，无法升级！", 0, [](auto& o) { o.hardwareVersion = 87; }},
    {"result1", "发生错误1！", 2, [](auto& o) { o.blockResult = 1; o.blockResultAt = 2; }},
    {"result1short", "发生错误1！", 1, {}, "24 24 56 58 01 01"},
    {"result2", "发生错误2！", 1, [](auto& o) { o.blockResult = 2; o.blockResultAt = 1; }},
    {"result2short", "发生错误2！", 2, {}, "24 24 56 58 01 02"},
    {"result7", "发生错误！", 3, [](auto& o) { o.blockResult = 7; o.blockResultAt = 3; }},
    {"result7short", "发生错误！", 1, {}, "24 24 56 58 01 07"},
    {"wrongAddress", "下载地址错误！", 2, [](auto& o) { o.badAddressAt = 2; }},
    {"result0WithoutAddress", "下载地址错误！", 1, {}, "24 24 56 58 01 00"},
    {"noAnswer", "接收机无应答，升级未完成！", 2, {}, ""},
    {"readError", "读取升级文件出错，升级未完成！", 1, {}, nullptr, -1},
    {"readErrorAfterLastBlock", "读取升级文件出错，升级未完成！", 3, {}, nullptr, -1},
    {"fileEndsEarly", "读取升级文件出错，升级未完成！", 2, {}, nullptr, 0},
    // The file on disk changes during the transfer: no block of the changed
    // file goes out, and the end is a failure, not a success.
    {"fileShrinks", "读取升级文件出错，升级未完成！", 1, {}, nullptr, {}, 200},
    {"fileShrinksInsideThePaddedLastBlock", "读取升级文件出错，升级未完成！", 2, {}, nullptr, {}, 299},
    {"fileGrows", "升级文件在升级过程中被改动，升级未完成！", 3, {}, nullptr, {}, 400},
};

class FirmwareUpgradeFailure : public FirmwareUpgrade, public ::testing::WithParamInterface<Failure> {};

TEST_P(FirmwareUpgradeFailure, EndsTheUpgradeCleanlyAndParametersWorkAgain) {
  const Failure& f = GetParam();
  z500sim::Options options;
  if (f.Fault) f.Fault(options);
  if (f.Answer) options.dropAnswers = {f.K + 1};  // answer 1 is the handshake's
  // The window calls every 500 ms until the receiver answers: on a loaded
  // machine a second call can go out before the first answer is read, and
  // the receiver's answers, which the dropped one counts, then shift. The
  // calls are all out once a block is: such a start is made again.
  for (int start = 1;; ++start) {
    Build(options);
    prompts->Messages.clear();
    Start(300);
    if (f.Read) form->FirmwareFile = std::make_unique<FailingFile>(f.K, *f.Read);
    ASSERT_TRUE(PumpUntil([&] { return Blocks() >= f.K; }));
    if (!f.Answer || Sent(FrameKind::Handshake).size() == 1) break;
    ASSERT_LT(start, 5) << "every start took more than one call";
  }
  if (f.Resize) {
    ASSERT_EQ(::truncate("Z500.088.rxf", *f.Resize), 0);
  }
  if (f.Answer && *f.Answer) receiver->Sim->Inject(H(f.Answer));
  if (f.Answer && !*f.Answer) {  // five seconds on the window's clock after the block was sent
    clock->Now += 4999;
    Pump(300);
    EXPECT_TRUE(form->Upgrading);
    clock->Now += 1;
  }
  ASSERT_TRUE(Finished());

  EXPECT_EQ(prompts->Messages, (std::vector<QString>{Confirm, f.Message}));
  // A version mismatch leaves the call for power on the status line.
  const QString failed = QStringLiteral("升级过程中发生错误，请关闭接收机后重新升级！");
  EXPECT_EQ(form->Label1->text(), f.K == 0 ? Calling : failed);
  ExpectEndedCleanly();
  // A parameter read gets its reply through the dispatcher to the window.
  const Z500::TFrame read = Z500::ReadParametersRequest();
  form->VellCommDevice1->Write(read.data(), static_cast<long>(read.size()));
  EXPECT_TRUE(PumpUntil([&] { return parameterAnswers > 0; }));
  receiver->Sim->Inject(H("24 24 56 58 01 00 40 00 80 80"));  // a late answer is dropped
  Pump(200);
  EXPECT_EQ(prompts->Messages.size(), 2u);
  EXPECT_EQ(Blocks(), f.K);
}

INSTANTIATE_TEST_SUITE_P(Upgrade, FirmwareUpgradeFailure, ::testing::ValuesIn(Failures),
                         [](const auto& info) { return std::string(info.param.Name); });

// Per block a 137-byte frame and a 10-byte answer at 1920 bytes a second,
// then the 50 ms after which the comm device closes the answer's package:
// about 1011 bytes a second. The throughput of a 64 KiB upgrade against this
// limit is window_bench's; here 32 blocks show whether the window adds a
// wait of its own to every block, which no other test would notice.
constexpr double LimitBytesPerSecond = 128 / ((137 + 10) / 1920.0 + 0.050);

TEST_F(FirmwareUpgrade, BlocksFollowEachOtherAtThePaceOfTheLine) {
#ifdef __SANITIZE_THREAD__
  GTEST_SKIP() << "a measure of time; taken in the plain build";
#endif
  using Seconds = std::chrono::duration<double>;
  constexpr size_t Size = 4 * 1024;
  Build();
  Start(Size);
  ASSERT_TRUE(Finished(60'000));
  EXPECT_EQ(prompts->Messages.back(), Success);
  EXPECT_EQ(receiver->Sim->Firmware(), Image(Size));
  const auto frames = Sent(FrameKind::Block);
  ASSERT_EQ(frames.size(), Size / 128);
  // A wait of the window's own lengthens every block; a loaded machine
  // (other programs holding the processors) lengthens some, which shows in
  // the total and the median but hardly in the faster quarter of the blocks.
  std::vector<double> cycles;
  for (size_t i = 1; i < frames.size(); ++i) cycles.push_back(Seconds(frames[i].at - frames[i - 1].at).count());
  std::sort(cycles.begin(), cycles.end());
  const double quartile = cycles[cycles.size() / 4], median = cycles[cycles.size() / 2];
  std::printf("%zu blocks at 19200 baud: %.1f ms a block in the faster quarter, median %.1f ms, "
              "protocol limit %.1f ms\n",
              frames.size(), quartile * 1000, median * 1000, 128 / LimitBytesPerSecond * 1000);
  EXPECT_GT(128 / quartile / LimitBytesPerSecond, 0.85);  // a wait of the window's own per block would fall below
}

}  // namespace
