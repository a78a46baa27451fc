#include "Prompts.h"

#include <QFileDialog>
#include <QMessageBox>
#include <QStringList>

namespace Z500 {

namespace {

// Message texts may break lines with CR LF; a label shows LF alone.
QString ForDisplay(const QString& text) {
  QString shown = text;
  shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  return shown;
}

}  // namespace

QString ApplicationTitle() { return QStringLiteral("Varnex Z500 静态接收机管理软件"); }

void TQtPrompts::Message(QWidget* owner, const QString& text) {
  QMessageBox box(QMessageBox::NoIcon, ApplicationTitle(), ForDisplay(text), QMessageBox::Ok, owner);
  box.exec();
}

bool TQtPrompts::Confirm(QWidget* owner, const QString& text) {
  QMessageBox box(QMessageBox::Question, QMessageBox::tr("Confirm"), ForDisplay(text),
                  QMessageBox::Ok | QMessageBox::Cancel, owner);
  return box.exec() == QMessageBox::Ok;
}

void TQtPrompts::Error(QWidget* owner, const QString& text) {
  QMessageBox box(QMessageBox::Critical, ApplicationTitle(), ForDisplay(text), QMessageBox::Ok, owner);
  box.exec();
}

QString TQtPrompts::OpenFile(QWidget* owner, const QString& filter) {
  return QFileDialog::getOpenFileName(owner, QString(), QString(), QtFileFilter(filter));
}

QString QtFileFilter(const QString& filter) {
  const QStringList parts = filter.split(QLatin1Char('|'));
  QStringList entries;
  for (qsizetype i = 0; i < parts.size(); i += 2) {
    QString entry = parts[i];
    const QString patterns = i + 1 < parts.size() ? parts[i + 1] : QString();
    // Qt takes the patterns from the parentheses of the description.
    if (!patterns.isEmpty() && !entry.contains(QLatin1Char('(') + patterns + QLatin1Char(')')))
      entry += QStringLiteral(" (") + QString(patterns).replace(QLatin1Char(';'), QLatin1Char(' ')) +
               QLatin1Char(')');
    entries << entry;
  }
  return entries.join(QStringLiteral(";;"));
}

}  // namespace Z500
