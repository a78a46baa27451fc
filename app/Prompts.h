// The window's modal boxes behind one small interface: message boxes,
// confirmations, the error box and the file-open dialog. The program uses
// Qt's boxes; tests answer them without a screen.
#pragma once

#include <QString>

class QWidget;

namespace Z500 {

// The application's title: the caption of every plain message box.
QString ApplicationTitle();

class IPrompts {
public:
  virtual ~IPrompts() = default;
  // A modal box with `text` and an OK button, captioned with the title.
  virtual void Message(QWidget* owner, const QString& text) = 0;
  // A modal confirmation with OK and Cancel; true for OK.
  virtual bool Confirm(QWidget* owner, const QString& text) = 0;
  // The box for an error that no handler caught.
  virtual void Error(QWidget* owner, const QString& text) = 0;
  // The file-open dialog. `filter` is "description|patterns|description|
  // patterns|..."; returns the chosen path, or "" when cancelled.
  virtual QString OpenFile(QWidget* owner, const QString& filter) = 0;
};

// Qt's message boxes and file dialog.
class TQtPrompts : public IPrompts {
public:
  void Message(QWidget* owner, const QString& text) override;
  bool Confirm(QWidget* owner, const QString& text) override;
  void Error(QWidget* owner, const QString& text) override;
  QString OpenFile(QWidget* owner, const QString& filter) override;
};

// A filter "description|patterns|..." as Qt's file dialog wants it:
// "description (patterns);;...", keeping a description that already ends in
// its patterns as it is.
QString QtFileFilter(const QString& filter);

}  // namespace Z500
