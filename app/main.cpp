// Start-up: the application with its title, the main window, the message
// loop. An error that escapes them is shown in the error box. A signal that
// asks the program to quit closes the window, and with it the link; the
// program then ends with 128 + the signal's number, as shells expect.
#include "Application.h"
#include "MainWindow.h"
#include "QuitSignals.h"

int main(int argc, char** argv) {
  Z500::TApplication app(argc, argv);
  int signal = 0;
  try {
    TForm1 form;
    Z500::TQuitSignals quit([&](int number) {
      if (signal == 0) signal = number;
      Z500::QuitWindow(form);
    });
    form.show();
    app.exec();
  } catch (...) {
    app.ShowCurrentException();
  }
  return signal != 0 ? 128 + signal : 0;
}
