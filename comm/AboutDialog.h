// TForm_VELLComm32_About: the component's about box. Shows the product (the
// class name it is given), its version, and the system's name, version, user
// and organisation.
#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

namespace QuarlComm32 {

class TForm_VELLComm32_About : public QDialog {
  Q_OBJECT

public:
  TForm_VELLComm32_About(QWidget* owner, const QString& productName);

  QLabel* ProgramIcon;
  QLabel* ProductName;
  QLabel* Version;
  QLabel* OsVersion;
  QLabel* lbUser;
  QLabel* UserName;
  QLabel* lbOrgn;
  QLabel* OrgName;
  QPushButton* OKButton;
};

}  // namespace QuarlComm32
