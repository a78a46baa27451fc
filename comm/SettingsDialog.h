// TForm_VellCommDevice_Settings: the comm device's port settings dialog. The
// user picks a port present on the machine and edits the line settings, flow
// control, auto-answer count and queue sizes; OK checks the entries, writes
// them into the device and reopens the port, and puts every setting back
// when that fails. Texts in the application language.
#pragma once

#include <QDialog>

#include "VellCommDevice.h"

class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace QuarlComm32 {

class TForm_VellCommDevice_Settings : public QDialog {
  Q_OBJECT

public:
  // open: open the port on OK even if it was closed. The device is not owned.
  TForm_VellCommDevice_Settings(QWidget* owner, bool open, TVellCustomCommDevice* device);

  QGroupBox* GboxBase;
  QGroupBox* GBoxModem;
  QGroupBox* GBoxBuffer;
  QLabel* lbPort;
  QLabel* lbBaud;
  QLabel* lbCheck;
  QLabel* lbBits;
  QLabel* lbStops;
  QLabel* lbFlow;
  QLabel* lbAAns;
  QLabel* lbInbs;
  QLabel* lbOutbs;
  QComboBox* CbPort;
  QComboBox* CbSelBaud;
  QComboBox* CbParity;
  QComboBox* CbByteSize;
  QComboBox* CbStopBits;
  QComboBox* CbFlow;
  QLineEdit* EditAutoAns;
  QLineEdit* EditInBufSize;
  QLineEdit* EditOutBufSize;
  QPushButton* BnAbout;
  QPushButton* BnDefault;
  QPushButton* BnOK;
  QPushButton* BnCancel;

  void BnOKClick();
  void BnCancelClick();
  void BnDefaultClick();
  void BnAboutClick();

protected:
  // A rejected entry or a failed apply: a message box with the stop icon,
  // titled with the dialog's caption.
  virtual void _ShowStop(const QString& text);

private:
  using Device = TVellCustomCommDevice;
  // The settings the dialog edits, in the order they are written.
  struct TSettings {
    int PortNo;
    Device::TBaudRate Baud;
    Device::TParity Parity;
    int ByteSize;
    Device::TStopBits StopBits;
    Device::TFlowControl FlowControl;
    int AutoAnswer;
    long InBufSize;
    long OutBufSize;
  };

  void _CreateControls();
  void _SetTexts();
  void _ShowSettings();
  // The entries as settings, or the first rejected one reported.
  bool _CheckEntries(TSettings& out);
  // Writes the settings, then Active. rollBack: every step is tried and its
  // error ignored.
  void _WriteSettings(const TSettings& s, bool active, bool rollBack);
  bool _Reject(QWidget* focus, const QString& text);

  TVellCustomCommDevice* CommDevice;
  bool OpenFlag;
  bool SavedActive;
  TSettings Saved;
};

// The bare class name of an object (without the C++ namespace).
QString BareClassName(const QObject* object);

}  // namespace QuarlComm32
