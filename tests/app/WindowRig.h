// What the window tests share: boxes answered without a screen, a clock that
// can run a long wait in an instant, and a receiver simulator on a pty.
#pragma once

#include <QApplication>
#include <QCursor>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Clock.h"
#include "MainWindow.h"
#include "Prompts.h"
#include "QtPump.h"
#include "Simulator.h"

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

// A window whose reply routes a test may set.
class TestForm : public TForm1 {
public:
  using TForm1::TForm1;
  using TForm1::Routes;
};

// A simulated receiver on a pty, started.
struct SimulatedReceiver {
  explicit SimulatedReceiver(z500sim::Options options = {}) {
    z500sim::Pty pty = z500sim::OpenPty();
    Path = pty.slavePath;
    Sim = std::make_unique<z500sim::Simulator>(std::move(pty.master), options);
    Sim->Start();
  }
  ~SimulatedReceiver() { Sim->Stop(); }
  std::vector<z500sim::ReceivedFrame> FramesOf(z500sim::FrameKind kind) const {
    std::vector<z500sim::ReceivedFrame> out;
    for (auto& f : Sim->Frames())
      if (f.kind == kind) out.push_back(f);
    return out;
  }
  std::string Path;
  std::unique_ptr<z500sim::Simulator> Sim;
};
