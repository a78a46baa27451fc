// The port settings and about dialogs offscreen: texts per language, the
// settings shown, the checks of OK, applying with roll-back on a port that
// cannot be opened, and SettingsDialog's result.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QtTest/QTest>

#include "AboutDialog.h"
#include "AppLang.h"
#include "PortMap.h"
#include "PtyPair.h"
#include "SettingsDialog.h"
#include "StringLocale.h"
#include "SysInfo.h"

using namespace QuarlComm32;
using Device = TVellCustomCommDevice;

namespace {

// Records the stop messages instead of showing them.
struct TestSettings : TForm_VellCommDevice_Settings {
  using TForm_VellCommDevice_Settings::TForm_VellCommDevice_Settings;
  void _ShowStop(const QString& text) override { Stops.push_back(text); }
  std::vector<QString> Stops;
};

// A language and the system locale whose code page decodes its texts.
using Language = std::pair<TQuarlFuncs::TLangType, uint32_t>;
constexpr Language kSimplified{TQuarlFuncs::ltSimplified, 0x0804};
constexpr Language kTraditional{TQuarlFuncs::ltTraditional, 0x0404};
constexpr Language kEnglish{TQuarlFuncs::ltWestern, 0x0409};

QString U(const char* s) { return QString::fromUtf8(s); }
using Values = std::vector<long>;

// COM1 and COM3 are ptys; COM2 leads nowhere and cannot be opened.
class Dialogs : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_FALSE(pty.Path.empty());
    UseLanguage(kEnglish);
    dev.SetPortMap(std::make_shared<TFixedPortMap>(
        std::vector<TPortEntry>{{1, pty.Path}, {2, "/nonexistent/ttyQ"}, {3, other.Path}}));
    dev.fSetPortNo(1);
  }
  void TearDown() override {
    TQuarlFuncs::AppLang = savedLang;
    TQuarlFuncs::_SysLocale = savedLocale;
  }
  void UseLanguage(const Language& l) {
    TQuarlFuncs::_SysLocale.InitLCID(l.second);
    TQuarlFuncs::AppLang.fSetLangType(l.first);
  }
  std::unique_ptr<TestSettings> Open(bool openFlag = false) {
    return std::make_unique<TestSettings>(nullptr, openFlag, &dev);
  }
  // Settings other than the defaults, with a flow control the list has no item for.
  void SetNonDefaults() {
    dev.fSetPortNo(3);
    dev.fSetBaud(Device::br19200);
    dev.fSetParity(Device::ptEvenParity);
    dev.fSetByteSize(7);
    dev.fSetStopBits(Device::sbTwoStopBit);
    dev.fSetFlowControl(Device::fcTranXonXoff);
    dev.fSetAutoAnswer(2);
    dev.fSetInBufSize(16384);
  }
  Values Settings() {
    return {dev.fGetPortNo(),     dev.fGetBaud(),        dev.fGetParity(),     dev.fGetByteSize(),
            dev.fGetStopBits(),   dev.fGetFlowControl(), dev.fGetAutoAnswer(), dev.fGetInBufSize(),
            dev.fGetOutBufSize(), dev.fGetActive()};
  }
  // Picks the items of the first lists (port, baud, parity, byte size, stop
  // bits), sets the edits and puts the focus on OK, as a click on it would.
  static void Fill(TestSettings& d, std::vector<int> items, const char* autoAns, const char* inBuf,
                   const char* outBuf) {
    QComboBox* lists[] = {d.CbPort, d.CbSelBaud, d.CbParity, d.CbByteSize, d.CbStopBits};
    for (size_t i = 0; i < items.size(); ++i) lists[i]->setCurrentIndex(items[i]);
    d.EditAutoAns->setText(autoAns);
    d.EditInBufSize->setText(inBuf);
    d.EditOutBufSize->setText(outBuf);
    d.BnOK->setFocus();
  }

  const TQuarlFuncs::TAppLang savedLang = TQuarlFuncs::AppLang;
  const TQuarlFuncs::TStringLocale savedLocale = TQuarlFuncs::_SysLocale;
  PtyPair pty, other;
  TVellCommDevice dev;
};

}  // namespace

// Both dialogs in each language; the about box also shows the system's data.
TEST_F(Dialogs, TextsFollowTheLanguageAndTraditionalComesFromBig5) {
  TQuarlFuncs::TSysInfo info;
  info.fGetOsInfo();
  const QString os = QString::asprintf("%d.%02d.%04d", static_cast<int>(info.MajorVersion),
                                       static_cast<int>(info.MinorVersion), static_cast<int>(info.BuildNumber));
  const struct {
    Language lang;
    const char *caption, *port, *flow3, *about, *version, *user, *orgn, *ok;
  } cases[] = {
      {kSimplified, "端口设置", "端口", "RTS/CTS & Xon/Xoff (硬&软)", "关于 TVellCommDevice……", "版本: 1.3.3.5",
       "用户:", "单位:", "确定"},
      {kTraditional, "序列埠設置", "序 列 埠", "RTS/CTS & Xon/Xoff (硬&軟)", "關於 TVellCommDevice……",
       "版本: 1.3.3.5", "用戶:", "單位:", "確定"},
      {kEnglish, "COM port Setup", "COM port", "RTS/CTS & Xon/Xoff", "About TVellCommDevice...", "Version: 1.3.3.5",
       "User:", "Orgn:", "OK"},
  };
  for (const auto& c : cases) {
    UseLanguage(c.lang);
    auto d = Open();
    EXPECT_EQ(QStringList({d->windowTitle(), d->lbPort->text(), d->CbFlow->itemText(3)}),
              QStringList({U(c.caption), U(c.port), U(c.flow3)}));
    TForm_VELLComm32_About a(nullptr, BareClassName(&dev));
    EXPECT_EQ(QStringList({a.windowTitle(), a.ProductName->text(), a.Version->text(), a.lbUser->text(),
                           a.lbOrgn->text(), a.OKButton->text()}),
              QStringList({U(c.about), "TVellCommDevice", U(c.version), U(c.user), U(c.orgn), U(c.ok)}));
    EXPECT_TRUE(a.OsVersion->text().contains(os)) << a.OsVersion->text().toStdString();
    EXPECT_EQ(a.UserName->text().toStdString(), info.RegisteredOwner);
  }
  // Without the Big5 conversion a Traditional system shows the GBK bytes as they are.
  UseLanguage(kTraditional);
  TQuarlFuncs::AppLang.fSetCvtBig5(false);
  EXPECT_NE(Open()->windowTitle(), U("序列埠設置"));
}

TEST_F(Dialogs, ControlsShowTheDevicesSettings) {
  SetNonDefaults();
  auto d = Open();
  QStringList shown;
  for (QComboBox* b : {d->CbPort, d->CbSelBaud, d->CbParity, d->CbByteSize, d->CbStopBits, d->CbFlow})
    shown << b->currentText();
  shown << d->EditAutoAns->text() << d->EditInBufSize->text();
  // fcTranXonXoff has no item of its own and shows as Xon/Xoff.
  EXPECT_EQ(shown, (QStringList{"COM3", "19200", "Even", "7", "2", "Xon/Xoff", "2", "16384"}));
  dev.fSetPortNo(7);  // not present: no port chosen
  EXPECT_EQ(Open()->CbPort->currentIndex(), -1);
}

// Rows also carry faults in later entries: only the first faulty one is reported.
TEST_F(Dialogs, EntriesAreCheckedInOrderWithTheFocusOnTheFaultyOne) {
  const struct {
    int port;
    const char *autoAns, *inBuf, *outBuf, *message, *focus;  // message nullptr: accepted
  } cases[] = {
      {-1, "x", "", "", "Must select COM Port", "CbPort"},
      {0, "256", "1", "", "Auto Answer: 0 - 255", "EditAutoAns"},
      {0, "-1", "8192", "8192", "Auto Answer: 0 - 255", "EditAutoAns"},
      {0, "abc", "8192", "8192", "Auto Answer: 0 - 255", "EditAutoAns"},
      {0, "0", "4095", "", "Input Buffer size error", "EditInBufSize"},
      {0, "0", "8192", "", "Output Buffer size error", "EditOutBufSize"},
      {0, " 255 ", "4096", " 8192 ", nullptr, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.autoAns) + "|" + c.inBuf + "|" + c.outBuf);
    auto d = Open();
    Fill(*d, {c.port}, c.autoAns, c.inBuf, c.outBuf);
    d->BnOKClick();
    if (c.message == nullptr) {
      EXPECT_TRUE(d->Stops.empty());
      EXPECT_EQ(d->result(), QDialog::Accepted);
      EXPECT_EQ(dev.fGetAutoAnswer(), 255);
      EXPECT_EQ(dev.fGetInBufSize(), 4096);
    } else {
      EXPECT_EQ(d->Stops, std::vector<QString>{c.message});
      EXPECT_EQ(d->focusWidget()->objectName(), c.focus);
      EXPECT_EQ(d->result(), QDialog::Rejected);  // still open
    }
  }
}

TEST_F(Dialogs, EnterMovesAlongTheInputsAndOnlyTheLastOneApplies) {
  auto d = Open(true);
  d->show();
  d->CbPort->setFocus();
  for (QWidget* w : std::initializer_list<QWidget*>{d->CbPort, d->CbSelBaud, d->CbParity, d->CbByteSize,
                                                    d->CbStopBits, d->CbFlow, d->EditAutoAns, d->EditInBufSize,
                                                    d->EditOutBufSize}) {
    ASSERT_EQ(d->focusWidget(), w);
    EXPECT_FALSE(dev.fGetActive());
    QTest::keyClick(w, Qt::Key_Return);  // presses OK, the default button
  }
  EXPECT_EQ(d->result(), QDialog::Accepted);
  EXPECT_TRUE(dev.fGetActive());  // the open flag opens a closed port
}

// Enter presses the focused button, Cancel included; from an input it moves
// along the inputs, or presses OK from the last one. The focus was on Cancel
// just before, so OK must be the default button again by then.
TEST_F(Dialogs, EnterPressesTheFocusedButtonAndOkFromTheInputs) {
  enum Outcome { StaysOpen, Applied, Cancelled };
  const struct {
    const char* focus;
    Qt::Key key;
    Outcome outcome;
  } cases[] = {
      {"BnCancel", Qt::Key_Return, Cancelled}, {"BnCancel", Qt::Key_Enter, Cancelled},
      {"BnOK", Qt::Key_Return, Applied},       {"BnOK", Qt::Key_Enter, Applied},
      {"CbPort", Qt::Key_Return, StaysOpen},   {"EditOutBufSize", Qt::Key_Enter, Applied},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.focus) + (c.key == Qt::Key_Enter ? " Enter" : " Return"));
    dev.fSetActive(false);
    dev.fSetBaud(Device::br19200);
    auto d = Open(true);  // OK opens the closed port
    d->CbSelBaud->setCurrentIndex(Device::br57600);
    d->show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(d.get()));
    d->BnCancel->setFocus();
    auto* focused = d->findChild<QWidget*>(c.focus);
    focused->setFocus();
    ASSERT_EQ(d->focusWidget(), focused);
    QTest::keyClick(focused, c.key, c.key == Qt::Key_Enter ? Qt::KeypadModifier : Qt::NoModifier);

    const Outcome outcome = d->isVisible()                      ? StaysOpen
                            : d->result() == QDialog::Accepted ? Applied
                                                               : Cancelled;
    EXPECT_EQ(outcome, c.outcome);
    const bool applied = c.outcome == Applied;
    EXPECT_EQ(dev.fGetBaud(), applied ? Device::br57600 : Device::br19200);
    EXPECT_EQ(dev.fGetActive(), applied);
    if (c.outcome == StaysOpen) {
      EXPECT_EQ(d->focusWidget(), d->CbSelBaud);
    }
  }
}

// Cancel writes nothing and OK every entry. OK on COM2, which cannot be
// opened, puts every setting and the open port back and shows the engine's
// message, decoded in the language's code page.
TEST_F(Dialogs, OkWritesEverySettingCancelNoneAndAFailedOpenRollsBack) {
  UseLanguage(kSimplified);
  const std::vector<QString> openError{QString::fromStdString(EComm32Error(ecOpenPort).MessageUtf8())};
  // The flow stays on the Xon/Xoff item fcTranXonXoff shows as, so OK writes
  // plain Xon/Xoff; the port was closed and there is no open flag.
  const Values written{1, Device::br57600, Device::ptOddParity, 8, Device::sbOne_5_StopBits, Device::fcXonXoff,
                       3, 20000, 5000, false};
  const struct {
    bool ok, active;
    int port;
  } cases[] = {{false, false, 0}, {true, false, 0}, {true, true, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "ok " << c.ok << " port item " << c.port);
    SetNonDefaults();
    dev.fSetActive(c.active);
    const Values before = Settings();
    auto d = Open();
    Fill(*d, {c.port, Device::br57600, Device::ptOddParity, 3, Device::sbOne_5_StopBits}, "3", "20000", "5000");
    c.ok ? d->BnOKClick() : d->BnCancelClick();
    const bool applied = c.ok && c.port == 0, failed = c.port == 1;
    EXPECT_EQ(d->result(), applied ? QDialog::Accepted : QDialog::Rejected);
    EXPECT_EQ(Settings(), applied ? written : before);
    EXPECT_EQ(d->Stops, failed ? openError : std::vector<QString>{});
    if (failed) {
      EXPECT_EQ(d->focusWidget(), d->CbPort);
    }
  }
}

TEST_F(Dialogs, SettingsDialogTellsWhetherItClosedWithOk) {
  for (bool ok : {true, false}) {
    QTimer::singleShot(0, [ok] {
      auto* d = qobject_cast<TForm_VellCommDevice_Settings*>(QApplication::activeModalWidget());
      ASSERT_NE(d, nullptr);
      d->CbSelBaud->setCurrentIndex(ok ? Device::br38400 : Device::br9600);
      (ok ? d->BnOK : d->BnCancel)->click();
    });
    EXPECT_EQ(dev.SettingsDialog(nullptr, false), ok);
  }
  EXPECT_EQ(dev.fGetBaud(), Device::br38400);  // only the accepted round wrote
}

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
