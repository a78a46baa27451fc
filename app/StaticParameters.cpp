// The static recording parameters: the sampling interval and cut-off angle
// boxes with their checks on every change, reading the values back from the
// receiver, writing them to it, and the receiver's replies.
#include <QLineEdit>
#include <QPushButton>

#include "MainWindow.h"
#include "ParameterRules.h"

namespace {

const QString IntervalTooLarge = QStringLiteral("采集间隔不能大于60秒！");
const QString CutoffTooLarge = QStringLiteral("截止角不能大于89度！");
const QString NotDigits = QStringLiteral("不能输入非数字字符！");
const QString ParametersSetText = QStringLiteral("已设置截止角和采集间隔参数！");

uint8_t BoxValue(QLineEdit* edit, const Z500::TParameterRule& rule) {
  if (edit->text().isEmpty()) edit->setText(QString::fromLatin1(rule.DefaultText.data(), rule.DefaultText.size()));
  return Z500::ParameterValue(edit->text().toStdString(), rule);
}

}  // namespace

void TForm1::_WireParameters() {
  connect(Edit2, &QLineEdit::textChanged, this, [this] { Edit2Change(Edit2); });
  connect(Edit3, &QLineEdit::textChanged, this, [this] { Edit3Change(Edit3); });
  connect(Button5, &QPushButton::clicked, this, [this] { Button5Click(Button5); });
  connect(Button6, &QPushButton::clicked, this, [this] { Button6Click(Button6); });
  Routes.ParametersSet = [this] { SetStatus(ParametersSetText); };
  Routes.Parameters = [this](uint8_t interval, uint8_t cutoff) { _ShowParameters(interval, cutoff); };
}

void TForm1::Edit2Change(QObject*) { _CheckParameterBox(Edit2, Z500::IntervalRule, IntervalTooLarge); }

void TForm1::Edit3Change(QObject*) { _CheckParameterBox(Edit3, Z500::CutoffRule, CutoffTooLarge); }

void TForm1::_CheckParameterBox(QLineEdit* edit, const Z500::TParameterRule& rule, const QString& limitMessage) {
  switch (Z500::CheckParameterText(edit->text().toStdString(), rule)) {
    case Z500::TParameterCheck::Accepted:
      return;
    case Z500::TParameterCheck::TooLarge:
      ShowMessage(limitMessage);
      break;
    case Z500::TParameterCheck::NotDigits:
      ShowMessage(NotDigits);
      break;
  }
  // Setting the default changes the box again; the default passes the check.
  edit->setText(QString::fromLatin1(rule.DefaultText.data(), rule.DefaultText.size()));
}

void TForm1::Button5Click(QObject*) {
  if (!VellCommDevice1->fGetActive()) {
    ShowMessage(QStringLiteral("串口未打开！"));
    return;
  }
  Send(Z500::ReadParametersRequest());
}

void TForm1::Button6Click(QObject*) {
  if (!VellCommDevice1->fGetActive()) {
    ShowMessage(QStringLiteral("串口未打开！"));
    return;
  }
  const uint8_t interval = BoxValue(Edit2, Z500::IntervalRule);
  const uint8_t cutoff = BoxValue(Edit3, Z500::CutoffRule);
  Send(Z500::WriteParametersRequest(interval, cutoff));
  // Reported at once; the receiver's acknowledgement says the same again.
  SetStatus(ParametersSetText);
}

void TForm1::_ShowParameters(uint8_t interval, uint8_t cutoff) {
  // Each text runs its box's check: a value out of range shows the message
  // and leaves the default in the box.
  Edit2->setText(QString::number(interval));
  Edit3->setText(QString::number(cutoff));
  SetStatus(QStringLiteral("已读取设置参数！"));
}
