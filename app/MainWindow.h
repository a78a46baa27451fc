// The main window TForm1: one fixed-size dialog with the link, upgrade and
// static-management groups and the status line, the comm device it talks to
// the receiver through, and the state the features share.
#pragma once

#include <QDialog>
#include <QString>

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <optional>
#include <string>

#include "Clock.h"
#include "DirectoryEntries.h"
#include "FirmwareBlocks.h"
#include "LineTrace.h"
#include "ParameterRules.h"
#include "PortMap.h"
#include "Prompts.h"
#include "ReceiverFrames.h"
#include "ReceiverSession.h"
#include "ReplyDispatcher.h"
#include "StringGrid.h"
#include "VellCommDevice.h"

class QCloseEvent;
class QComboBox;
class QFile;
class QGroupBox;
class QKeyEvent;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTimer;

// The file-open dialog as a component: a filter, and the file last chosen.
class TOpenDialog {
public:
  QString Filter;
  QString FileName;
  std::shared_ptr<Z500::IPrompts> Prompts;  // shows the dialog
  // Shows the dialog; true when a file was chosen (then in FileName).
  bool Execute(QWidget* owner);
};

class TForm1 : public QDialog {
  Q_OBJECT

public:
  // What the window needs from outside; anything left empty gets the real
  // one (Qt's boxes, the steady clock, the machine's port map).
  struct TServices {
    std::shared_ptr<Z500::IPrompts> Prompts;
    std::shared_ptr<Z500::IClock> Clock;
    std::shared_ptr<const QuarlComm32::IPortMap> PortMap;
  };

  explicit TForm1(TServices services = {}, QWidget* parent = nullptr);
  ~TForm1() override;

  // -- Controls, in the order of the form.
  QGroupBox* GroupBox1;
  QComboBox* ComboBox1;
  QPushButton* Button1;
  QPushButton* Button17;
  QPushButton* Button2;
  QGroupBox* GroupBox3;
  QLabel* Label17;
  QLineEdit* Edit1;
  QLabel* Label18;
  QProgressBar* ProgressBar1;
  QPushButton* Button3;
  QPushButton* Button4;
  QGroupBox* GroupBox2;
  QLabel* Label2;
  QLineEdit* Edit2;
  QLabel* Label3;
  QLineEdit* Edit3;
  QPushButton* Button5;
  QPushButton* Button6;
  QPushButton* Button7;
  QPushButton* Button8;
  QPushButton* Button9;
  TStringGrid* StringGrid1;
  QLabel* Label5;
  QLabel* Label1;  // the status line

  // -- Non-visual parts.
  QuarlComm32::TVellCommDevice* VellCommDevice1;
  QTimer* Timer2;
  TOpenDialog OpenDialog1;

  // -- State the features share; all zero at start.
  bool Upgrading = false;
  bool UpgradeAborted = false;
  uint8_t HardwareVersion = 0;
  std::unique_ptr<QFile> FirmwareFile;
  // FirmwareSize, LoadAddress, BytesSent and BlockLength of the upgrade.
  Z500::TBlockSequencer Blocks;
  int32_t FileCount = 0;
  TGridRect GridSelection;
  uint32_t WaitStart = 0;
  uint32_t WaitNow = 0;
  // The line gives back what is sent (seen when the link opened, or in a
  // raw reply wait): a copy of the last frame sent is its echo.
  bool LineEchoes = false;
  // A delete request awaits its reply: only then is a "$$FD" package one.
  bool DeleteOutstanding = false;

  // -- Handlers.
  void FormCreate(QObject* Sender);
  void Button1Click(QObject* Sender);
  void Button2Click(QObject* Sender);
  void Button5Click(QObject* Sender);
  void Button6Click(QObject* Sender);
  void Edit2Change(QObject* Sender);
  void Edit3Change(QObject* Sender);
  void Button7Click(QObject* Sender);
  void Button8Click(QObject* Sender);
  void Button9Click(QObject* Sender);
  void VellCommDevice1Package(QObject* Sender, int NotifyType);
  void StringGrid1Click(QObject* Sender);
  void Button17Click(QObject* Sender);

  // -- Shared operations.
  using TPortSlot = std::array<char, 80>;
  // The number of serial ports found (0 to 9), or -1 when the list cannot be
  // read; with `names` (room for nine slots), port name i goes into slot i.
  int ListSerialPorts(TPortSlot* names = nullptr);
  // Traces every frame sent and package received on the link, and the raw
  // reply waits' bytes, into the file at `path`, labelled with the COM name;
  // a thread of its own writes the file. A file that cannot be written is
  // said once, on stderr and on the status line, and the window goes on.
  void StartTrace(const std::string& path);
  // The trace's failure on the status line; queued from the trace's thread
  // by name, so that Qt itself carries the call across.
  Q_INVOKABLE void _ShowTraceFailed();
  // Disable and enable the nine action buttons, Button1 to Button9.
  void LockButtons();
  void UnlockButtons();

  // -- Firmware upgrade (FirmwareUpgrade.cpp).
  void Button3Click(QObject* Sender);
  void Button4Click(QObject* Sender);
  void Timer2Timer(QObject* Sender);
  // Ticks while a block awaits its answer, to end the upgrade when none comes.
  QTimer* UpgradeWatch = nullptr;

protected:
  // Escape does not close the window, as it would close a plain dialog.
  void keyPressEvent(QKeyEvent* event) override;
  // Closing the window ends whatever runs on the link and closes the port.
  void closeEvent(QCloseEvent* event) override;

  // Replaces the status line's text; with `now`, repaints it at once, for a
  // text that must show while the window's thread is blocked.
  void SetStatus(const QString& text, bool now = false);
  void ShowMessage(const QString& text);
  // Switches packaging off, writes `request` and waits on the raw byte
  // stream, with the hourglass cursor, for the answer's `head` or until
  // `limitMs` pass; the window is kept painted but takes no input meanwhile.
  // The request's own echo is not taken for the answer. It ends early when
  // the link closes under it (the device went, or the window closed): then
  // nothing is to be reported (LineLost). EchoOnly: nothing came but the
  // echo of the request (the status line says so already). Packaging stays
  // off: the caller reports the outcome, then switches it on again.
  Z500::TWaitEnd RawReplyWait(const Z500::TFrame& request, const Z500::TReplyHead& head, uint32_t limitMs);
  // Writes one whole frame to the receiver.
  void Send(const Z500::TFrame& frame);

  std::shared_ptr<Z500::IPrompts> Prompts;
  std::shared_ptr<Z500::IClock> Clock;
  std::shared_ptr<const QuarlComm32::IPortMap> PortMap;
  // Where the reply dispatcher sends each reply.
  Z500::TReplyRoutes Routes;

private:
  // -- The line trace (LinkControl.cpp): none unless started.
  std::unique_ptr<Z500::TLineTrace> Trace;
  void _Trace(Z500::TTraceDirection direction, Z500::TTraceKind kind, std::span<const uint8_t> bytes);

  // -- The link itself (LinkControl.cpp).
  // A notification of the comm device: a line error for which the engine
  // found the device gone closes the link.
  void _LinkNotify(int NotifyType);
  // The device has gone: the link is closed and the user told.
  void _LinkLost();
  // The line echoes what is sent: noted, and the user told.
  void _LineEchoes();
  // A package without the line's echo: nothing when it holds the unlog
  // command (which marks the line as echoing); on such a line, what follows
  // a copy of the last frame sent at its start.
  std::span<const uint8_t> _WithoutEcho(std::span<const uint8_t> package);
  // Ends a raw reply wait or an upgrade under way and closes the link, as
  // the open/close button does; reports nothing.
  void _DropLink();

  void _CreateControls();
  void _CreateLinkGroup();
  void _CreateUpgradeGroup();
  void _CreateStaticGroup();
  void _CreateStatusLine();
  void _CreateComponents();
  // The line and framer settings every link to a receiver opens with.
  void _ApplyLinkSettings();
  void _EnableActionButtons(bool enabled);

  // Static recording parameters: the edit-box checks and the replies.
  void _WireParameters();
  void _CheckParameterBox(QLineEdit* edit, const Z500::TParameterRule& rule, const QString& limitMessage);
  void _ShowParameters(uint8_t interval, uint8_t cutoff);

  // The file directory: listing, deleting and formatting.
  void _WireDirectory();
  void _ClearGrid();
  void _RequestDirectory();
  void _ListDirectoryPage(uint16_t length, std::span<const uint8_t> payload);
  void _DirectoryWatchTick();
  void _ForgetRequests();
  void _DeleteFinished();
  Z500::TDirectoryListing Listing;  // the pages of the listing under way
  bool PageAwaited = false;         // a directory request awaits its page
  uint32_t PageAskedAt = 0;         // the tick it was sent at
  QTimer* DirectoryWatch = nullptr; // ticks while a page is awaited
  QTimer* PageRetry = nullptr;      // asks again for a page that came cut short
  int CutRetries = 0;               // of the page asked for last

  // -- Firmware upgrade steps (FirmwareUpgrade.cpp).
  void _SetUpUpgrade();
  // Checks the firmware file's name and opens it; nullptr after a box that
  // says why not.
  std::unique_ptr<QFile> _OpenFirmware(const QString& path);
  void _StartUpgrade();
  void _UpgradeHandshakeAnswer(uint8_t hardwareVersion);
  void _UpgradeBlockAnswer(uint8_t result, std::optional<uint32_t> address);
  void _SendNextBlock();
  void _UpgradeWatchTick();
  void _EndUpgrade();
  void _FailUpgrade(const QString& message, bool failureStatus = true);
  Z500::TFrame LastSent;          // the last frame written
  bool BlockOutstanding = false;  // a block frame awaits its answer
  uint32_t BlockSentAt = 0;       // the tick it was sent at
};
