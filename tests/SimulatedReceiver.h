// A receiver simulator on a pty, started, for tests that talk to it through
// the pty's slave path.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "Simulator.h"

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
