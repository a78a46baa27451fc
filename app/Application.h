// The application object: sets the title and shows, in the standard error
// box, any error that escapes an event handler, after which the window
// carries on.
#pragma once

#include <QApplication>

#include <exception>
#include <memory>

#include "Prompts.h"

namespace Z500 {

class TApplication : public QApplication {
public:
  TApplication(int& argc, char** argv);

  bool notify(QObject* receiver, QEvent* event) override;

  // Where uncaught errors are shown (Qt's boxes unless set).
  void SetPrompts(std::shared_ptr<IPrompts> prompts) { Prompts = std::move(prompts); }
  // Shows the error being handled (call from a catch block).
  void ShowCurrentException();

private:
  std::shared_ptr<IPrompts> Prompts;
  bool ShowingError = false;
};

// An error's text for the user; the serial layer's messages are decoded from
// the code page they were built in.
QString ExceptionText(const std::exception& e);

}  // namespace Z500
