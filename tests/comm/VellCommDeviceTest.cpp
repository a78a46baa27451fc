// The comm device component over a real pseudo-terminal, with its events
// delivered by a Qt event loop on the test's main thread.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QThread>
#include <QVariant>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "PortMap.h"
#include "PtyPair.h"
#include "QtPump.h"
#include "Termios2.h"
#include "VellCommDevice.h"

using namespace QuarlComm32;
using Device = TVellCustomCommDevice;

namespace {

// Opens the engine and the framer to a test's view.
class TestDevice : public TVellCommDevice {
public:
  ~TestDevice() override { _Shutdown(); }
  using TVellCommDevice::Comm;
  using TVellCommDevice::Package;
};

// A device on COM1 = a pty, set up as the main window sets its own up.
class CommDevice : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_FALSE(pty.Path.empty());
    dev = std::make_unique<TestDevice>();
    dev->SetPortMap(std::make_shared<TFixedPortMap>(std::vector<TPortEntry>{{1, pty.Path}}));
    dev->fSetPortNo(1);
    dev->fSetBaud(Device::br19200);
    dev->fSetPackageType(cptFrameTimeout);
    dev->OnPackage = [this](QObject* sender, int type) {
      senders.push_back(sender);
      types.push_back(type);
      char buf[300];
      const unsigned long n = dev->ReadPackage(buf, sizeof buf);
      if (n > 0) packages.emplace_back(buf, n);
    };
  }
  void TearDown() override {
    dev.reset();
    QCoreApplication::processEvents();
  }

  PtyPair pty;
  std::unique_ptr<TestDevice> dev;
  std::vector<QObject*> senders;
  std::vector<int> types;
  std::vector<std::string> packages;
};

}  // namespace

TEST_F(CommDevice, BaudMapsToTheEngineRateAndUnknownRatesReadAs115200) {
  EXPECT_EQ(dev->Comm->DCB.BaudRate, 19200u);
  EXPECT_EQ(dev->fGetBaud(), Device::br19200);
  for (int b = Device::br110; b <= Device::br256000; ++b) {
    dev->fSetBaud(static_cast<Device::TBaudRate>(b));
    EXPECT_EQ(dev->Comm->DCB.BaudRate, Device::BaudRates[b]);
    EXPECT_EQ(dev->fGetBaud(), b);
  }
  dev->Comm->DCB.BaudRate = 250000;
  EXPECT_EQ(dev->fGetBaud(), Device::br115200);
  dev->fSetBaud(static_cast<Device::TBaudRate>(200));
  EXPECT_EQ(dev->Comm->DCB.BaudRate, 115200u);

  dev->fSetBaud(Device::br19200);
  dev->fSetActive(true);
  TLineSettings line;
  ASSERT_EQ(ReadLineSettings(pty.Slave, line), 0);
  EXPECT_EQ(line.BaudRate, 19200u);
}

TEST_F(CommDevice, OutOfRangeSettingsStoreTheirFirstValueOrClamp) {
  dev->fSetParity(static_cast<Device::TParity>(9));
  dev->fSetStopBits(static_cast<Device::TStopBits>(5));
  EXPECT_EQ(dev->Comm->DCB.Parity, 0);
  EXPECT_EQ(dev->Comm->DCB.StopBits, 0);
  dev->Comm->DCB.Parity = 7;
  EXPECT_EQ(dev->fGetParity(), Device::ptNoParity);
  dev->fSetAutoAnswer(300);
  EXPECT_EQ(dev->fGetAutoAnswer(), 255);
  dev->fSetAutoAnswer(-5);
  EXPECT_EQ(dev->fGetAutoAnswer(), 0);
}

TEST_F(CommDevice, FlowControlMapsBothWaysAndOtherEngineCodesReadAsNone) {
  for (auto fc : {Device::fcRtsCts, Device::fcXonXoff, Device::fcTranXonXoff, Device::fcRtsCtsXonXoff, Device::fcNone}) {
    dev->fSetFlowControl(fc);
    EXPECT_EQ(dev->fGetFlowControl(), fc);
  }
  dev->fSetFlowControl(Device::fcTranXonXoff);
  EXPECT_EQ(dev->Comm->fGetFCtrl(), TComm32::fcTranXonXoff);
  for (int code : {1, 2}) {
    dev->Comm->fSetFCtrl(static_cast<TComm32::TFlowControl>(code));
    EXPECT_EQ(dev->fGetFlowControl(), Device::fcNone) << code;
  }
}

TEST_F(CommDevice, LineSettingsAndDriverSizesCloseAnOpenPortWithBeforeClose) {
  int closes = 0;
  dev->BeforeClose = [&](QObject* sender) {
    EXPECT_EQ(sender, dev.get());
    ++closes;
  };
  dev->fSetUsePackage(true);
  const std::vector<std::function<void()>> setters = {
      [&] { dev->fSetBaud(Device::br9600); },       [&] { dev->fSetPortNo(1); },
      [&] { dev->fSetParity(Device::ptEvenParity); }, [&] { dev->fSetByteSize(7); },
      [&] { dev->fSetStopBits(Device::sbTwoStopBit); }, [&] { dev->fSetFlowControl(Device::fcRtsCts); },
      [&] { dev->fSetHwInSize(600); },                [&] { dev->fSetHwOutSize(600); },
      [&] { dev->fSetInBufSize(4096); },              [&] { dev->fSetOutBufSize(4096); },
  };
  for (size_t i = 0; i < setters.size(); ++i) {
    dev->fSetFlowControl(Device::fcNone);
    dev->fSetByteSize(8);
    dev->fSetParity(Device::ptNoParity);
    dev->fSetStopBits(Device::sbOneStopBit);
    dev->fSetActive(true);
    ASSERT_TRUE(dev->fGetActive()) << i;
    closes = 0;
    setters[i]();
    EXPECT_EQ(closes, 1) << i;
    EXPECT_FALSE(dev->fGetActive()) << i;
    EXPECT_FALSE(dev->Comm->Active.load()) << i;
  }
  EXPECT_EQ(dev->fGetInBufSize(), 4096);
  EXPECT_EQ(dev->fGetOutBufSize(), 4096);

  // AutoAnswer, SyncEvents and the package settings leave the port open.
  dev->fSetActive(true);
  closes = 0;
  dev->fSetAutoAnswer(2);
  dev->fSetSyncEvents(true);
  dev->fSetPackageInterval(40);
  dev->fSetQueueSize(8);
  EXPECT_TRUE(dev->fGetActive());
  EXPECT_EQ(closes, 0);
}

TEST_F(CommDevice, AfterOpenAndBeforeCloseRunAtOnceOnTheOpeningThread) {
  std::vector<std::string> seen;
  dev->AfterOpen = [&](QObject* s) { seen.push_back(s == dev.get() ? "open" : "?"); };
  dev->BeforeClose = [&](QObject* s) { seen.push_back(s == dev.get() ? "close" : "?"); };
  dev->fSetSyncEvents(true);
  dev->fSetActive(true);
  EXPECT_EQ(seen, std::vector<std::string>{"open"});
  dev->fSetActive(false);
  EXPECT_EQ(seen, (std::vector<std::string>{"open", "close"}));
}

TEST_F(CommDevice, AFailedOpenRaisesAndLeavesEverythingClosed) {
  dev->fSetPortNo(7);  // not in the map
  dev->fSetUsePackage(true);
  EXPECT_THROW(dev->fSetActive(true), EComm32Error);
  EXPECT_FALSE(dev->fGetActive());
  EXPECT_FALSE(dev->Package->fGetActive());
}

TEST_F(CommDevice, PackageModeDeliversEachPackageOnceWithTheDeviceAsSender) {
  dev->fSetUsePackage(true);
  dev->fSetActive(true);
  ASSERT_TRUE(dev->fGetActive());
  ASSERT_TRUE(dev->Package->fGetActive());
  ASSERT_TRUE(pty.Send(std::string("$$FJ\x02\x00" "ab", 8)));
  ASSERT_TRUE(PumpUntil([&] { return packages.size() == 1; }));
  EXPECT_EQ(packages[0], std::string("$$FJ\x02\x00" "ab", 8));
  ASSERT_TRUE(pty.Send("second"));
  ASSERT_TRUE(PumpUntil([&] { return packages.size() == 2; }));
  EXPECT_EQ(packages[1], "second");
  for (QObject* s : senders) EXPECT_EQ(s, dev.get());

  // A package written in this mode goes out as it is.
  EXPECT_EQ(dev->Write("reply", 5), 5);
  EXPECT_EQ(pty.Receive(5), "reply");
}

TEST_F(CommDevice, SwitchingPackageModeKeepsThePortOpenAndEmptiesTheFramer) {
  dev->fSetUsePackage(true);
  dev->fSetActive(true);
  dev->OnPackage = nullptr;  // leave packages in the queue
  ASSERT_TRUE(pty.Send("waiting"));
  ASSERT_TRUE(PumpUntil([&] { return dev->Package->ReadQueueCount() == 1; }));

  int closes = 0;
  dev->BeforeClose = [&](QObject*) { ++closes; };
  dev->fSetUsePackage(false);
  EXPECT_TRUE(dev->fGetActive());
  EXPECT_TRUE(dev->Comm->Active.load());
  EXPECT_FALSE(dev->Package->fGetActive());
  char buf[64];
  EXPECT_EQ(dev->ReadPackage(buf, sizeof buf), 0u);

  // Raw mode: Read returns what has arrived, at once.
  EXPECT_EQ(dev->Read(buf, sizeof buf), 0);
  ASSERT_TRUE(pty.Send("raw"));
  std::string raw;
  ASSERT_TRUE(PumpUntil([&] {
    const long n = dev->Read(buf, sizeof buf);
    if (n > 0) raw.append(buf, static_cast<size_t>(n));
    return raw.size() >= 3;
  }));
  EXPECT_EQ(raw, "raw");
  Pump(150);  // the framer is off: no package is made of those bytes

  dev->fSetUsePackage(true);
  EXPECT_TRUE(dev->fGetActive());
  EXPECT_EQ(dev->Package->ReadQueueCount(), 0u);
  EXPECT_EQ(dev->ReadPackage(buf, sizeof buf), 0u);
  EXPECT_EQ(closes, 0);
}

TEST_F(CommDevice, WithoutPackageModeActiveOpensOnlyTheEngine) {
  dev->fSetActive(true);
  EXPECT_TRUE(dev->fGetActive());
  EXPECT_FALSE(dev->Package->fGetActive());
  ASSERT_TRUE(pty.Send("bytes"));
  Pump(150);
  char buf[16];
  EXPECT_EQ(dev->ReadPackage(buf, sizeof buf), 0u);
  EXPECT_FALSE(dev->ReadPackage(buf));
  EXPECT_EQ(dev->Read(buf, sizeof buf), 5);
  EXPECT_TRUE(packages.empty());
  EXPECT_EQ(dev->Write("out", 3), 3);
  EXPECT_EQ(pty.Receive(3), "out");
}

TEST_F(CommDevice, EventsArriveInPostingOrderOnTheOwnersThread) {
  const auto owner = std::this_thread::get_id();
  std::vector<int> seen;
  bool offThread = false;
  dev->OnPackage = [&](QObject* sender, int type) {
    EXPECT_EQ(sender, dev.get());
    offThread |= std::this_thread::get_id() != owner;
    seen.push_back(type);
  };
  std::vector<int> comm;
  dev->OnCommNotify = [&](QObject* sender, int type) {
    EXPECT_EQ(sender, dev.get());
    offThread |= std::this_thread::get_id() != owner;
    comm.push_back(type);
  };
  constexpr int kEach = 500;
  std::thread a([&] {
    for (int i = 1; i <= kEach; ++i) dev->Package->CallNotify(i);
  });
  std::thread b([&] {
    for (int i = 1; i <= kEach; ++i) dev->Comm->CommNotify(i << 12);
  });
  a.join();
  b.join();
  dev->Comm->CommNotify(0);  // says nothing: no event
  ASSERT_TRUE(PumpUntil([&] { return seen.size() == kEach && comm.size() == kEach; }));
  Pump(20);
  EXPECT_FALSE(offThread);
  ASSERT_EQ(seen.size(), size_t{kEach});
  ASSERT_EQ(comm.size(), size_t{kEach});
  for (int i = 0; i < kEach; ++i) {
    EXPECT_EQ(seen[i], i + 1);
    EXPECT_EQ(comm[i], (i + 1) << 12);
  }
}

TEST_F(CommDevice, WithoutSyncEventsHandlersRunOnTheRaisingThread) {
  dev->fSetSyncEvents(false);
  std::atomic<int> calls{0};
  std::thread::id where;
  dev->OnPackage = [&](QObject* sender, int type) {
    EXPECT_EQ(sender, dev.get());
    EXPECT_EQ(type, 0x0001);
    where = std::this_thread::get_id();
    calls.fetch_add(1);
  };
  std::thread::id raiser;
  std::thread t([&] {
    raiser = std::this_thread::get_id();
    dev->Package->CallNotify(0x0001);
  });
  t.join();
  EXPECT_EQ(calls.load(), 1);
  EXPECT_EQ(where, raiser);

  // On the framer's timer thread too, for a real package.
  calls = 0;
  dev->fSetUsePackage(true);
  dev->fSetActive(true);
  ASSERT_TRUE(pty.Send("x"));
  ASSERT_TRUE(PumpUntil([&] { return calls.load() == 1; }));
  EXPECT_NE(where, std::this_thread::get_id());
}

TEST_F(CommDevice, DestructionRaisesNoEventAndDropsQueuedOnes) {
  int events = 0;
  auto count = [&](QObject*, int) { ++events; };
  dev->OnPackage = count;
  dev->OnCommNotify = count;
  dev->BeforeClose = [&](QObject*) { ++events; };
  dev->fSetUsePackage(true);
  dev->fSetActive(true);
  for (int i = 0; i < 50; ++i) dev->Package->CallNotify(0x0001);
  ASSERT_TRUE(pty.Send("pending"));
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  dev.reset();
  Pump(50);
  EXPECT_EQ(events, 0);
}

TEST_F(CommDevice, FrameSettingsCopyTheMarksButNotTheDoubleMarkFlag) {
  TestDevice other;
  TVellCommFrameSettings* src = other.fGetFrameSettings();
  src->fSetFrameHead(0x10);
  src->fSetFrameTail(0x11);
  src->fSetFrameCtrl(0x12);
  src->fSetDblFrMark(false);
  TVellCommFrameSettings* own = dev->fGetFrameSettings();
  EXPECT_EQ(own->fGetFrameHead(), 0xEB);
  EXPECT_TRUE(own->fGetDblFrMark());
  dev->fSetFrameSettings(src);
  EXPECT_EQ(own->fGetFrameHead(), 0x10);
  EXPECT_EQ(own->fGetFrameTail(), 0x11);
  EXPECT_EQ(own->fGetFrameCtrl(), 0x12);
  EXPECT_TRUE(own->fGetDblFrMark());
  EXPECT_EQ(dev->Package->FrameHead.load(), 0x10);

  // The new marks frame what the device sends.
  dev->fSetPackageType(cptFrameHeadTail);
  own->fSetDblFrMark(false);
  dev->fSetUsePackage(true);
  dev->fSetActive(true);
  EXPECT_EQ(dev->Write("\x01\x10", 2), 2);
  EXPECT_EQ(pty.Receive(5), "\x10\x01\x12\x10\x11");
}

// As a settings dialog or a form would reach them.
TEST_F(CommDevice, PublishedPropertiesAreReachableByName) {
  EXPECT_TRUE(dev->setProperty("PortNo", 5));
  EXPECT_EQ(dev->fGetPortNo(), 5);
  EXPECT_EQ(dev->property("Baud").toInt(), Device::br19200);
  EXPECT_EQ(dev->property("PackageType").toInt(), cptFrameTimeout);
  EXPECT_TRUE(dev->setProperty("PackageType", QVariant::fromValue(cptFrameHeadTail)));
  EXPECT_EQ(dev->fGetPackageType(), cptFrameHeadTail);
  EXPECT_TRUE(dev->setProperty("PackageType", 0));  // as a number, as a form stores it
  EXPECT_EQ(dev->fGetPackageType(), cptCompatiblePkg);
  // Modem-line changes only when asked for: nobody polls them by default.
  EXPECT_EQ(dev->property("NotifyMask").toInt(), 0x0487);
  EXPECT_TRUE(dev->setProperty("NotifyMask", 0x04BF));
  EXPECT_EQ(dev->Comm->fGetNotifyMask(), 0x04BFu);
}

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
