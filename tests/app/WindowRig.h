// What the window tests share: boxes answered without a screen, a clock that
// can run a long wait in an instant, and a receiver simulator on a pty.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QCursor>
#include <QPushButton>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Clock.h"
#include "MainWindow.h"
#include "Prompts.h"
#include "QtPump.h"
#include "SimulatedReceiver.h"

// Records every box instead of showing it.
class FakePrompts : public Z500::IPrompts {
public:
  void Message(QWidget*, const QString& text) override { Messages.push_back(text); }
  bool Confirm(QWidget*, const QString& text) override {
    Confirmations.push_back(text);
    return ConfirmAnswer;
  }
  void Error(QWidget*, const QString& text) override { Errors.push_back(text); }
  QString OpenFile(QWidget*, const QString& filter) override {
    Filters.push_back(filter);
    return ChosenFile;
  }

  std::vector<QString> Messages, Confirmations, Errors, Filters;
  bool ConfirmAnswer = true;
  QString ChosenFile;
};

// Virtual milliseconds: a sleep moves the tick on at once. Records whether
// the hourglass showed during each sleep.
class InstantClock : public Z500::IClock {
public:
  explicit InstantClock(uint32_t start = 1000) : Now(start) {}
  uint32_t TickCount() override { return Now; }
  void Sleep(uint32_t ms) override {
    Now += ms;
    ++Sleeps;
    const QCursor* c = QApplication::overrideCursor();
    if (!c || c->shape() != Qt::WaitCursor) ++SleepsWithoutHourglass;
  }
  uint32_t Now;
  int Sleeps = 0;
  int SleepsWithoutHourglass = 0;
};

// Virtual milliseconds that also pass in real time, `microsPerMs` of it for
// each (by default fifty times faster: a 15 s wait lasts about 0.3 s), long
// enough for a quick answer to come in.
class PacedClock : public InstantClock {
public:
  explicit PacedClock(uint32_t microsPerMs = 20) : MicrosPerMs(microsPerMs) {}
  void Sleep(uint32_t ms) override {
    InstantClock::Sleep(ms);
    std::this_thread::sleep_for(std::chrono::microseconds(ms * MicrosPerMs));
  }
  uint32_t MicrosPerMs;
};

// A window whose reply routes a test may set.
class TestForm : public TForm1 {
public:
  using TForm1::TForm1;
  using TForm1::Routes;
};

// A window whose COM1 leads to a simulated receiver, with its boxes answered
// by FakePrompts. More ports may be mapped: an empty path is the receiver too.
class ReceiverWindowTest : public ::testing::Test {
protected:
  void Build(z500sim::Options options, std::shared_ptr<Z500::IClock> clock,
             std::vector<QuarlComm32::TPortEntry> more = {}) {
    receiver = std::make_unique<SimulatedReceiver>(options);
    more.insert(more.begin(), {1, ""});
    for (auto& port : more)
      if (port.Device.empty()) port.Device = receiver->Path;
    TForm1::TServices services;
    services.Prompts = prompts;
    services.Clock = std::move(clock);
    services.PortMap = std::make_shared<QuarlComm32::TFixedPortMap>(more);
    form = std::make_unique<TestForm>(services);
  }
  void Open() {
    form->Button1->click();
    ASSERT_TRUE(form->VellCommDevice1->fGetActive());
  }
  void TearDown() override {
    form.reset();
    QCoreApplication::processEvents();
  }
  std::vector<z500sim::ReceivedFrame> Sent(z500sim::FrameKind kind) const { return receiver->FramesOf(kind); }

  std::shared_ptr<FakePrompts> prompts = std::make_shared<FakePrompts>();
  std::unique_ptr<SimulatedReceiver> receiver;
  std::unique_ptr<TestForm> form;
};
