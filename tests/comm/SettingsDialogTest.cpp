// The port settings and about dialogs offscreen: their texts in the three
// languages, the settings they show, the checks of OK, applying with the
// roll-back when the port cannot be opened, and SettingsDialog's result.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QtTest/QTest>

#include <memory>
#include <string>
#include <vector>

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
class TestSettings : public TForm_VellCommDevice_Settings {
public:
  using TForm_VellCommDevice_Settings::TForm_VellCommDevice_Settings;
  std::vector<QString> Stops;

protected:
  void _ShowStop(const QString& text) override { Stops.push_back(text); }
};

struct Language {
  TQuarlFuncs::TLangType Type;
  uint32_t Lcid;  // the system locale, whose code page decodes the texts
};
constexpr Language kSimplified{TQuarlFuncs::ltSimplified, 0x0804};
constexpr Language kTraditional{TQuarlFuncs::ltTraditional, 0x0404};
constexpr Language kEnglish{TQuarlFuncs::ltWestern, 0x0409};

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
    TQuarlFuncs::_SysLocale.InitLCID(l.Lcid);
    TQuarlFuncs::AppLang.fSetLangType(l.Type);
  }
  std::unique_ptr<TestSettings> Open(bool openFlag = false) {
    return std::make_unique<TestSettings>(nullptr, openFlag, &dev);
  }

  const TQuarlFuncs::TAppLang savedLang = TQuarlFuncs::AppLang;
  const TQuarlFuncs::TStringLocale savedLocale = TQuarlFuncs::_SysLocale;
  PtyPair pty, other;
  TVellCommDevice dev;
};

QStringList Items(const QComboBox* box) {
  QStringList out;
  for (int i = 0; i < box->count(); ++i) out << box->itemText(i);
  return out;
}

}  // namespace

TEST_F(Dialogs, TextsFollowTheLanguageAndTraditionalComesFromBig5) {
  struct Case {
    Language lang;
    const char* caption;
    const char* ok;
    const char* port;
    const char* buffer;
    const char* parity4;
    const char* flow3;
    int pointSize;
  };
  const Case cases[] = {
      {kSimplified, "端口设置", "确定", "端口", "缓存容量", "Space (空格)", "RTS/CTS & Xon/Xoff (硬&软)", 9},
      {kTraditional, "序列埠設置", "確定", "序 列 埠", "緩存容量", "Space (空白)", "RTS/CTS & Xon/Xoff (硬&軟)", 9},
      {kEnglish, "COM port Setup", "&OK", "COM port", "Buffer", "Space Parity", "RTS/CTS & Xon/Xoff", 8},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.caption);
    UseLanguage(c.lang);
    auto d = Open();
    EXPECT_EQ(d->windowTitle(), QString::fromUtf8(c.caption));
    EXPECT_EQ(d->BnOK->text(), QString::fromUtf8(c.ok));
    EXPECT_EQ(d->lbPort->text(), QString::fromUtf8(c.port));
    EXPECT_EQ(d->GBoxBuffer->title(), QString::fromUtf8(c.buffer));
    EXPECT_EQ(d->CbParity->itemText(4), QString::fromUtf8(c.parity4));
    EXPECT_EQ(d->CbFlow->itemText(3), QString::fromUtf8(c.flow3));
    EXPECT_EQ(d->font().pointSize(), c.pointSize);
    // Run-time layout: only OK and Cancel, centred as a pair.
    EXPECT_EQ(d->size(), QSize(393, 228));
    EXPECT_TRUE(d->BnAbout->isHidden());
    EXPECT_TRUE(d->BnDefault->isHidden());
    EXPECT_EQ(d->BnOK->geometry(), QRect(99, 200, 75, 25));
    EXPECT_EQ(d->BnCancel->geometry(), QRect(219, 200, 75, 25));
  }
  // Without the conversion a Traditional system shows the GBK bytes as they are.
  UseLanguage(kTraditional);
  TQuarlFuncs::AppLang.fSetCvtBig5(false);
  EXPECT_NE(Open()->windowTitle(), QStringLiteral("序列埠設置"));
}

TEST_F(Dialogs, ControlsShowTheDevicesSettings) {
  dev.fSetPortNo(3);
  dev.fSetBaud(Device::br19200);
  dev.fSetParity(Device::ptEvenParity);
  dev.fSetByteSize(7);
  dev.fSetStopBits(Device::sbTwoStopBit);
  dev.fSetFlowControl(Device::fcTranXonXoff);
  dev.fSetAutoAnswer(2);
  dev.fSetInBufSize(16384);
  dev.fSetOutBufSize(4096);
  auto d = Open();
  EXPECT_EQ(Items(d->CbPort), (QStringList{"COM1", "COM2", "COM3"}));
  EXPECT_EQ(d->CbPort->currentText(), "COM3");
  EXPECT_EQ(d->CbSelBaud->currentText(), "19200");
  EXPECT_EQ(d->CbParity->currentIndex(), Device::ptEvenParity);
  EXPECT_EQ(d->CbByteSize->currentText(), "7");
  EXPECT_EQ(d->CbStopBits->currentText(), "2");
  EXPECT_EQ(d->CbFlow->currentText(), "Xon/Xoff");
  EXPECT_EQ(d->EditAutoAns->text(), "2");
  EXPECT_EQ(d->EditInBufSize->text(), "16384");
  EXPECT_EQ(d->EditOutBufSize->text(), "4096");

  // A port that is not present: nothing chosen, and OK asks for one.
  dev.fSetPortNo(7);
  d = Open();
  EXPECT_EQ(d->CbPort->currentIndex(), -1);
  d->BnOKClick();
  EXPECT_EQ(d->Stops, std::vector<QString>{"Must select COM Port"});
  EXPECT_EQ(d->focusWidget(), d->CbPort);
  EXPECT_EQ(dev.fGetPortNo(), 7);
}

TEST_F(Dialogs, EntriesAreCheckedInOrderWithTheFocusOnTheFaultyOne) {
  struct Case {
    const char* autoAns;
    const char* inBuf;
    const char* outBuf;
    const char* message;  // nullptr: accepted
    const char* focus;
  };
  const Case cases[] = {
      {"256", "8192", "8192", "Auto Answer: 0 - 255", "EditAutoAns"},
      {"-1", "8192", "8192", "Auto Answer: 0 - 255", "EditAutoAns"},
      {"abc", "8192", "8192", "Auto Answer: 0 - 255", "EditAutoAns"},
      {"", "8192", "8192", "Auto Answer: 0 - 255", "EditAutoAns"},
      {"0", "4095", "8192", "Input Buffer size error", "EditInBufSize"},
      {"0", "8192", "", "Output Buffer size error", "EditOutBufSize"},
      {" 255 ", "4096", " 8192 ", nullptr, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.autoAns) + "|" + c.inBuf + "|" + c.outBuf);
    auto d = Open();
    d->EditAutoAns->setText(c.autoAns);
    d->EditInBufSize->setText(c.inBuf);
    d->EditOutBufSize->setText(c.outBuf);
    d->BnOK->setFocus();
    d->BnOKClick();
    if (c.message == nullptr) {
      EXPECT_TRUE(d->Stops.empty());
      EXPECT_EQ(d->result(), QDialog::Accepted);
      EXPECT_EQ(dev.fGetAutoAnswer(), 255);
      EXPECT_EQ(dev.fGetInBufSize(), 4096);
      continue;
    }
    EXPECT_EQ(d->Stops, std::vector<QString>{c.message});
    EXPECT_EQ(d->focusWidget()->objectName(), c.focus);
    EXPECT_EQ(d->result(), QDialog::Rejected);  // still open
  }
  // A list without a choice is refused before the edits are looked at.
  auto d = Open();
  d->CbStopBits->setCurrentIndex(-1);
  d->EditAutoAns->setText("x");
  d->BnOKClick();
  EXPECT_EQ(d->Stops, std::vector<QString>{"Must select stop bits"});
  EXPECT_EQ(d->focusWidget(), d->CbStopBits);
}

TEST_F(Dialogs, EnterMovesAlongTheInputsAndOnlyTheLastOneApplies) {
  auto d = Open(true);
  d->show();
  QWidget* chain[] = {d->CbPort,     d->CbSelBaud,   d->CbParity,      d->CbByteSize, d->CbStopBits,
                      d->CbFlow,     d->EditAutoAns, d->EditInBufSize, d->EditOutBufSize};
  d->CbPort->setFocus();
  for (size_t i = 0; i + 1 < std::size(chain); ++i) {
    ASSERT_EQ(d->focusWidget(), chain[i]);
    QTest::keyClick(chain[i], Qt::Key_Return);  // reaches OK, the default button
    EXPECT_EQ(d->result(), QDialog::Rejected);
  }
  EXPECT_FALSE(dev.fGetActive());
  QTest::keyClick(d->EditOutBufSize, Qt::Key_Return);  // the last input: checks and applies
  EXPECT_EQ(d->result(), QDialog::Accepted);
  EXPECT_TRUE(dev.fGetActive());  // the open flag opens a closed port
}

TEST_F(Dialogs, OkWritesEverySettingAndCancelNone) {
  dev.fSetFlowControl(Device::fcTranXonXoff);
  auto edit = [](TestSettings& d) {
    d.CbPort->setCurrentIndex(2);
    d.CbSelBaud->setCurrentIndex(Device::br57600);
    d.CbParity->setCurrentIndex(Device::ptOddParity);
    d.CbByteSize->setCurrentIndex(2);
    d.CbStopBits->setCurrentIndex(Device::sbTwoStopBit);
    d.EditAutoAns->setText("3");
    d.EditOutBufSize->setText("5000");
  };
  auto cancelled = Open();
  edit(*cancelled);
  cancelled->BnCancelClick();
  EXPECT_EQ(cancelled->result(), QDialog::Rejected);
  EXPECT_EQ(dev.fGetPortNo(), 1);
  EXPECT_EQ(dev.fGetBaud(), Device::br115200);
  EXPECT_EQ(dev.fGetFlowControl(), Device::fcTranXonXoff);
  EXPECT_EQ(dev.fGetOutBufSize(), 8192);

  auto d = Open();
  edit(*d);
  d->BnOKClick();
  ASSERT_EQ(d->result(), QDialog::Accepted);
  EXPECT_EQ(dev.fGetPortNo(), 3);
  EXPECT_EQ(dev.fGetBaud(), Device::br57600);
  EXPECT_EQ(dev.fGetParity(), Device::ptOddParity);
  EXPECT_EQ(dev.fGetByteSize(), 7);
  EXPECT_EQ(dev.fGetStopBits(), Device::sbTwoStopBit);
  EXPECT_EQ(dev.fGetFlowControl(), Device::fcXonXoff);  // shown as Xon/Xoff, written as such
  EXPECT_EQ(dev.fGetAutoAnswer(), 3);
  EXPECT_EQ(dev.fGetOutBufSize(), 5000);
  EXPECT_FALSE(dev.fGetActive());  // closed before, no open flag
}

// COM2 leads nowhere: opening it fails, and every setting and the open port
// come back as they were, with the engine's message shown.
TEST_F(Dialogs, APortThatCannotBeOpenedRollsEverySettingBack) {
  for (const Language& lang : {kEnglish, kSimplified}) {
    UseLanguage(lang);
    dev.fSetBaud(Device::br19200);
    dev.fSetFlowControl(Device::fcTranXonXoff);
    dev.fSetAutoAnswer(1);
    dev.fSetInBufSize(10000);
    dev.fSetActive(true);
    auto d = Open();
    d->CbPort->setCurrentIndex(1);
    d->CbSelBaud->setCurrentIndex(Device::br9600);
    d->CbParity->setCurrentIndex(Device::ptMarkParity);
    d->CbByteSize->setCurrentIndex(1);
    d->CbFlow->setCurrentIndex(3);
    d->EditAutoAns->setText("9");
    d->EditInBufSize->setText("20000");
    d->EditOutBufSize->setText("6000");
    d->BnOK->setFocus();
    d->BnOKClick();
    EXPECT_EQ(d->result(), QDialog::Rejected);
    ASSERT_EQ(d->Stops.size(), 1u);
    EXPECT_EQ(d->Stops[0].toStdString(), EComm32Error(ecOpenPort).MessageUtf8());
    EXPECT_EQ(d->focusWidget(), d->CbPort);
    EXPECT_EQ(dev.fGetPortNo(), 1);
    EXPECT_EQ(dev.fGetBaud(), Device::br19200);
    EXPECT_EQ(dev.fGetParity(), Device::ptNoParity);
    EXPECT_EQ(dev.fGetByteSize(), 8);
    EXPECT_EQ(dev.fGetFlowControl(), Device::fcTranXonXoff);
    EXPECT_EQ(dev.fGetAutoAnswer(), 1);
    EXPECT_EQ(dev.fGetInBufSize(), 10000);
    EXPECT_EQ(dev.fGetOutBufSize(), 8192);
    EXPECT_TRUE(dev.fGetActive());
    dev.fSetActive(false);
  }
}

TEST_F(Dialogs, SettingsDialogTellsWhetherItClosedWithOk) {
  for (bool ok : {true, false}) {
    QTimer::singleShot(0, [ok] {
      auto* d = qobject_cast<TForm_VellCommDevice_Settings*>(QApplication::activeModalWidget());
      ASSERT_NE(d, nullptr);
      d->CbSelBaud->setCurrentIndex(Device::br38400);
      (ok ? d->BnOK : d->BnCancel)->click();
    });
    EXPECT_EQ(dev.SettingsDialog(nullptr, false), ok);
  }
  EXPECT_EQ(dev.fGetBaud(), Device::br38400);  // from the first, accepted, round
}

TEST_F(Dialogs, AboutBoxInEachLanguage) {
  TQuarlFuncs::TSysInfo info;
  info.fGetOsInfo();
  struct Case {
    Language lang;
    const char* caption;
    const char* version;
    const char* user;
    const char* orgn;
    const char* ok;
  };
  const Case cases[] = {
      {kSimplified, "关于 TVellCommDevice……", "版本: 1.3.3.5", "用户:", "单位:", "确定"},
      {kTraditional, "關於 TVellCommDevice……", "版本: 1.3.3.5", "用戶:", "單位:", "確定"},
      {kEnglish, "About TVellCommDevice...", "Version: 1.3.3.5", "User:", "Orgn:", "OK"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.caption);
    UseLanguage(c.lang);
    TForm_VELLComm32_About about(nullptr, BareClassName(&dev));
    EXPECT_EQ(about.windowTitle(), QString::fromUtf8(c.caption));
    EXPECT_EQ(about.ProductName->text(), "TVellCommDevice");
    EXPECT_EQ(about.Version->text(), QString::fromUtf8(c.version));
    EXPECT_EQ(about.lbUser->text(), QString::fromUtf8(c.user));
    EXPECT_EQ(about.lbOrgn->text(), QString::fromUtf8(c.orgn));
    EXPECT_EQ(about.OKButton->text(), QString::fromUtf8(c.ok));
    const QString os = QString::asprintf("%d.%02d.%04d", static_cast<int>(info.MajorVersion),
                                         static_cast<int>(info.MinorVersion), static_cast<int>(info.BuildNumber));
    EXPECT_TRUE(about.OsVersion->text().contains(os)) << about.OsVersion->text().toStdString();
    EXPECT_EQ(about.UserName->text().toStdString(), info.RegisteredOwner);
    EXPECT_EQ(about.size(), QSize(266, 132));
  }
}

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
