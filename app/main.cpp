// Start-up: the application with its title, the main window, the message
// loop. An error that escapes them is shown in the error box.
#include "Application.h"
#include "MainWindow.h"

int main(int argc, char** argv) {
  Z500::TApplication app(argc, argv);
  try {
    TForm1 form;
    form.show();
    app.exec();
  } catch (...) {
    app.ShowCurrentException();
  }
  return 0;
}
