// Runs the Qt event loop of a test's main thread for a while.
#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>

#include <chrono>
#include <thread>

// Runs the event loop until `done` holds or `ms` pass; false on time-out.
template <class F>
bool PumpUntil(F done, int ms = 3000) {
  QElapsedTimer t;
  t.start();
  while (!done()) {
    if (t.elapsed() > ms) return false;
    QCoreApplication::processEvents();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

inline void Pump(int ms) {
  PumpUntil([] { return false; }, ms);
}
