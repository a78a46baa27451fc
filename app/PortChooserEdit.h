// The window's port chooser and its edit line.
//
// The edit line of the window's port chooser. A combo box chooses the item
// that matches the typed text when its line reports editing finished (on
// Enter and on leaving it); the window's port follows the chosen item only,
// never typed text, so this line keeps that report to itself.
#pragma once

#include <QComboBox>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QSignalBlocker>

#include <functional>

class TPortChooserEdit : public QLineEdit {
public:
  using QLineEdit::QLineEdit;

protected:
  void keyPressEvent(QKeyEvent* event) override {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
      const QSignalBlocker quiet(this);
      QLineEdit::keyPressEvent(event);
    } else {
      QLineEdit::keyPressEvent(event);
    }
  }
  void focusOutEvent(QFocusEvent* event) override {
    const QSignalBlocker quiet(this);
    QLineEdit::focusOutEvent(event);
  }
};

// The port chooser: BeforePopup runs each time its list is about to show,
// so what the items tell of their devices is read again (an adapter may have
// been plugged in since the window opened).
class TPortChooser : public QComboBox {
public:
  using QComboBox::QComboBox;
  std::function<void()> BeforePopup;

  void showPopup() override {
    if (BeforePopup) BeforePopup();
    QComboBox::showPopup();
  }
};
